#!/usr/bin/env bash
# Builds the beamformer's benchmark (bench/beamform/bench_das.cpp) in release
# mode and prints one table: each case's rate in channel-pixel samples per
# second with 1 and 2 threads (best of the repetitions; the repetitions of all
# cases run interleaved in random order), 2T/1T, CPU+ (process CPU time per
# sample with 2 threads over that with 1), the call's data and image sizes
# and the resident memory it added, and the load average before and after.
#   bash scripts/bench_beamform.sh [repetitions, default 5]
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
reps="${1:-5}"
build="$top/build/release"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSONVAR_BENCH=ON >/dev/null
cmake --build "$build" -j 2 --target sonvar_beamform_bench >/dev/null
before="$(cut -d' ' -f1-3 /proc/loadavg)"
csv="$(mktemp)"
trap 'rm -f "$csv"' EXIT
"$build/bench/sonvar_beamform_bench" --benchmark_repetitions="$reps" \
  --benchmark_enable_random_interleaving=true --benchmark_min_time=0.3 \
  --benchmark_format=csv 2>/dev/null | grep -E '^(name|"BM_)' >"$csv"
echo "load average before the run: $before, after: $(cut -d' ' -f1-3 /proc/loadavg)"
python3 - "$csv" <<'PY'
import csv, sys
best, cpu, extra = {}, {}, {}
for row in csv.DictReader(open(sys.argv[1])):
    name = row["name"].strip('"')
    if name.endswith(("_mean", "_median", "_stddev", "_cv")) or not row["items_per_second"]:
        continue
    name = name.replace("/process_time/real_time", "")
    r = float(row["items_per_second"])
    extra[name] = max(extra.get(name, 0.0), float(row["extra_KiB"]))
    if r > best.get(name, 0.0):
        best[name] = r
        cpu[name] = float(row["cpu_time"]) / float(row["real_time"]) / r
        sizes = (float(row["data_MB"]), float(row["image_MB"]))
        best[name + "/sizes"] = sizes

cases = [("2-D RF, 400 x 400 pixels", 0), ("3-D RF, 40 x 40 x 100 pixels", 1),
         ("2-D IQ, 400 x 400 pixels", 2)]
fmt = "{:<30} {:<22} {:>10} {:>10} {:>6} {:>5} {:>8} {:>8} {:>9}"
print(fmt.format("case (128 ch x 5 tx)", "samples summed", "1 thread", "2 threads", "2T/1T",
                 "CPU+", "data MB", "image MB", "extra KiB"))
for label, kind in cases:
    for full, what in ((0, "F 1.5, tx apodization"), (1, "every sample")):
        one = f"BM_BeamformDas/kind:{kind}/full:{full}/threads:1"
        two = f"BM_BeamformDas/kind:{kind}/full:{full}/threads:2"
        if one not in best or two not in best:
            continue
        data_mb, image_mb = best[one + "/sizes"]
        print(fmt.format(label, what, "{:.3g}".format(best[one]), "{:.3g}".format(best[two]),
                         "{:.2f}".format(best[two] / best[one]),
                         "{:.2f}".format(cpu[two] / cpu[one]), "{:.1f}".format(data_mb),
                         "{:.2f}".format(image_mb),
                         "{:.0f}".format(max(extra[one], extra[two]))))
print("\nRates in channel-pixel samples/s (channels x transmits x pixels / time); targets:")
print(">= 1e9 with 2 threads, 2T/1T >= 1.85. extra KiB: resident memory the call added beyond")
print("its data and image (the kernel counts pages in blocks: small values read as 0).")
print("Other processes on the machine lower the rates and 2T/1T: repeat on a quiet machine.")
PY

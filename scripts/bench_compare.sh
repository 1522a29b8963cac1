#!/usr/bin/env bash
# Builds the library of revision REV (default the tag speed3-base) in a temporary
# worktree and the working tree's library side by side in release mode,
# links the same comparison cases (bench/compare_cases.cpp, public calls
# only) against each, runs every case old, new, old, new ... for ROUNDS
# rounds and prints per case the old and new medians, their spread, the
# ratio new/old and the 2-thread over 1-thread ratio; the peak memory of
# the user's per-element echoes against their result; then the peak memory
# of hp at 100,000 points for both. The last case calls no library: its
# 2T/1T is what the machine gives two threads in the run, the bound of the
# others'. With RUNS above 1, each process runs
# its case RUNS times and the round's rate is the median of the runs after
# the first (warm: the first run of a process also pays the first touch of
# its heap and result memory); the default, 1, measures one cold run.
# Usage: scripts/bench_compare.sh [REV] [ROUNDS] [RUNS]
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
rev="${1:-speed3-base}"
rounds="${2:-3}"
runs="${3:-1}"
work="$top/build/compare"
old_src="$work/rev-src"
mkdir -p "$work"

# The revision's sources, checked out afresh each run.
if [ -e "$old_src" ]; then git -C "$top" worktree remove --force "$old_src" >/dev/null 2>&1 || rm -rf "$old_src"; fi
git -C "$top" worktree prune
git -C "$top" worktree add --detach "$old_src" "$rev" >/dev/null 2>&1
trap 'git -C "$top" worktree remove --force "$old_src" >/dev/null 2>&1 || true' EXIT

build_library() {  # build_library SOURCE BUILD
  cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DSONVAR_BENCH=OFF >/dev/null
  cmake --build "$2" -j 2 --target sonvar >/dev/null
}

link_cases() {  # link_cases SOURCE BUILD OUTPUT
  local lib
  lib="$(find "$2" -maxdepth 2 -name 'libsonvar.a' -o -maxdepth 2 -name 'libsonvar.so' | head -n 1)"
  [ -n "$lib" ] || { echo "no library in $2" >&2; exit 1; }
  g++ -std=c++17 -O3 -DNDEBUG -Wall -Wextra -Werror -ffp-contract=off -I"$1/sim" \
    "$top/bench/compare_cases.cpp" "$lib" -Wl,-rpath,"$(dirname "$lib")" \
    -lbenchmark_main -lbenchmark -lpthread -lm -o "$3"
}

echo "building $rev and the working tree (release) ..."
build_library "$old_src" "$work/old-build"
build_library "$top" "$work/new-build"
link_cases "$old_src" "$work/old-build" "$work/cases-old"
link_cases "$top" "$work/new-build" "$work/cases-new"

cases="BM_CmpScatMulti/scatterers:1000/threads:1 BM_CmpScatMulti/scatterers:1000/threads:2
BM_CmpScatMulti/scatterers:10000/threads:1 BM_CmpScatMulti/scatterers:10000/threads:2
BM_CmpScatMultiUser/scatterers:1000/threads:1 BM_CmpScatMultiUser/scatterers:1000/threads:2
BM_CmpScatMultiUser/scatterers:10000/threads:1 BM_CmpScatMultiUser/scatterers:10000/threads:2
BM_CmpHpMap/threads:1 BM_CmpHpMap/threads:2 BM_CmpBmodeLine/threads:1 BM_CmpBmodeLine/threads:2
BM_CmpHLinear/threads:1 BM_CmpHLinear/threads:2
BM_CmpFieldMapConvex/threads:1 BM_CmpFieldMapConvex/threads:2
BM_CmpFieldMapPhased/threads:1 BM_CmpFieldMapPhased/threads:2
BM_CmpMachineTwoThreads/threads:1 BM_CmpMachineTwoThreads/threads:2"
results="$work/results.txt"
: >"$results"

run_case() {  # run_case BINARY CASE LABEL [RUNS]
  local out="$work/run.json"
  "$1" --benchmark_filter="^$2/iterations" --benchmark_repetitions="${4:-1}" \
    --benchmark_out="$out" --benchmark_out_format=json >/dev/null 2>&1
  python3 - "$out" "$3" >>"$results" <<'PY'
import json, statistics, sys
runs = [b for b in json.load(open(sys.argv[1]))["benchmarks"]
        if b.get("run_type", "iteration") == "iteration"]
warm = runs[1:] if len(runs) > 1 else runs
b = runs[0]
print(sys.argv[2], b["name"].split("/iterations")[0],
      statistics.median(r["items_per_second"] for r in warm),
      b.get("peak_rss_MB", 0), b.get("result_MB", 0))
PY
}

echo "load average before the runs: $(cut -d' ' -f1-3 /proc/loadavg)"
for round in $(seq 1 "$rounds"); do
  for c in $cases; do
    run_case "$work/cases-old" "$c" old "$runs"
    run_case "$work/cases-new" "$c" new "$runs"
  done
  echo "round $round done, load average $(cut -d' ' -f1-3 /proc/loadavg)"
done
for t in 1 2; do
  run_case "$work/cases-old" "BM_CmpHpPeakMemory/threads:$t" old
  run_case "$work/cases-new" "BM_CmpHpPeakMemory/threads:$t" new
done
echo "load average after the runs: $(cut -d' ' -f1-3 /proc/loadavg)"

python3 - "$results" "$rev" <<'PY'
import statistics, sys
rates, memory, echo_memory = {}, {}, {}
for line in open(sys.argv[1]):
    who, name, rate, rss, res = line.split()
    if "PeakMemory" in name:
        memory[(who, name)] = (float(rss), float(res))
    else:
        rates.setdefault((who, name), []).append(float(rate))
        if float(res) > 0:
            echo_memory.setdefault((who, name), []).append((float(rss), float(res)))
    if "FieldMap" in name:
        peaks = memory.setdefault((who, name), [])
        peaks.append(float(rss))

def med(who, name):
    v = rates.get((who, name))
    return statistics.median(v) if v else None

def spread(who, name):
    v = rates.get((who, name))
    m = statistics.median(v)
    return "+{:.0f}/-{:.0f}%".format(100 * (max(v) - m) / m, 100 * (m - min(v)) / m)

labels = [
    ("BM_CmpScatMulti/scatterers:1000", "scat_multi 1,000 scatterers (pairs/s)", "2T/1T >= 1.85"),
    ("BM_CmpScatMulti/scatterers:10000", "scat_multi 10,000 scatterers (pairs/s)", "2T/1T >= 1.85"),
    ("BM_CmpScatMultiUser/scatterers:1000", "user set-up 1,000 scatterers (pairs/s)",
     ">= 3x 2T, 2T/1T >= 1.85"),
    ("BM_CmpScatMultiUser/scatterers:10000", "user set-up 10,000 scatterers (pairs/s)",
     ">= 3x 2T, 2T/1T >= 1.85"),
    ("BM_CmpHpMap", "hp 10,000 points (points/s)", "2T/1T >= 1.85"),
    ("BM_CmpBmodeLine", "B-mode line 20,000 scatterers (scat/s)", ">= 2x 2T, 2T/1T >= 1.85"),
    ("BM_CmpHLinear", "h linear 1 x 28, 1,000 points (points/s)", ""),
    ("BM_CmpFieldMapConvex", "(a) hp map convex 10,000 (points/s)", ">= 2x 2T, 2T/1T >= 1.85"),
    ("BM_CmpFieldMapPhased", "(b) hp map phased 72,541 (points/s)", ">= 2x 2T, 2T/1T >= 1.85"),
    ("BM_CmpMachineTwoThreads", "machine: own products per thread (/s)", "the machine's 2T/1T"),
]
fmt = "{:<41} {:>2} {:>11} {:>9} {:>11} {:>9} {:>6}"
print("\nold = {}, new = working tree; medians over the rounds, spread = max/min".format(sys.argv[2]))
print("against the median\n")
print(fmt.format("case", "T", "old", "spread", "new", "spread", "ratio") + "  target")
for prefix, label, target in labels:
    for t in (1, 2):
        name = "{}/threads:{}".format(prefix, t)
        o, n = med("old", name), med("new", name)
        if o is None or n is None:
            continue
        print(fmt.format(label if t == 1 else "", t, "{:,.0f}".format(o), spread("old", name),
                         "{:,.0f}".format(n), spread("new", name), "{:.2f}".format(n / o))
              + ("  " + target if t == 1 else ""))
    o1, o2 = med("old", prefix + "/threads:1"), med("old", prefix + "/threads:2")
    n1, n2 = med("new", prefix + "/threads:1"), med("new", prefix + "/threads:2")
    if o1 and o2 and n1 and n2:
        print("{:<41}    2T/1T old {:.2f}, new {:.2f}".format("", o2 / o1, n2 / n1))
print("\nuser set-up, peak resident memory of the process against the result (median):")
for prefix in ("BM_CmpScatMultiUser/scatterers:1000", "BM_CmpScatMultiUser/scatterers:10000"):
    for t in (1, 2):
        for who in ("old", "new"):
            v = echo_memory.get((who, "{}/threads:{}".format(prefix, t)))
            if v:
                rss = statistics.median(r for r, _ in v)
                res = statistics.median(m for _, m in v)
                print("  {} {} threads {}: result {:.1f} MB, peak RSS {:.1f} MB".format(
                    prefix.split("/")[1], who, t, res, rss))
print("\nhp at 100,000 points, peak resident memory (one process each):")
for t in (1, 2):
    for who in ("old", "new"):
        key = (who, "BM_CmpHpPeakMemory/threads:{}".format(t))
        if key in memory:
            rss, res = memory[key]
            print("  {} threads {}: {:.0f} MB of result samples, peak RSS {:.0f} MB ({:.2f} x)".format(
                who, t, res, rss, rss / res))
print("\nfield maps, largest peak resident memory of a process over the rounds (MB):")
for prefix, label, _ in labels:
    if "FieldMap" not in prefix:
        continue
    for t in (1, 2):
        name = "{}/threads:{}".format(prefix, t)
        cells = ["{} {:.0f}".format(who, max(memory[(who, name)]))
                 for who in ("old", "new") if (who, name) in memory]
        print("  {} {} threads: {}".format(label.split(" (")[0], t, ", ".join(cells)))
PY

#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz with clang and libFuzzer (address and
# undefined-behaviour sanitizers), replays each seed corpus (tests/fuzz/
# corpus_<name>: seeds and every input that once failed) and fuzzes each
# target for the given number of seconds (default 30). New inputs go to a
# scratch corpus under build/fuzz, never into the repository; an input that
# fails is written to build/fuzz/<target>-crash-... and the script fails.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-30}"
out="$top/build/fuzz"
mkdir -p "$out"
flags="-std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
  -Wno-psabi -I$top/sim -I$top/driver"
sources="$(find "$top/sim" -name '*.cpp' | sort) $(ls "$top"/driver/*.cpp | grep -v doroRivo.cpp)"
# The library's objects once, then each target linked against them.
objects=""
compiles=""
for source in $sources; do
  name="${source#"$top"/}"
  object="$out/${name//\//_}"
  object="${object%.cpp}.o"
  # Rebuilt when the source or any header of the library or the driver is
  # newer than the object.
  if [ ! -e "$object" ] || [ "$source" -nt "$object" ] ||
    [ -n "$(find "$top/sim" "$top/driver" -name '*.h' -newer "$object" | head -n 1)" ]; then
    clang++ $flags -fsanitize=fuzzer-no-link -c "$source" -o "$object" &
    compiles="$compiles $!"
  fi
  objects="$objects $object"
done
for compile in $compiles; do
  wait "$compile" || { echo "a library source failed to compile (see above)"; exit 1; }
done
for target in fuzz_probe fuzz_nodes fuzz_hp; do
  clang++ $flags "$top/tests/fuzz/$target.cpp" $objects -lcjson -lpthread -o "$out/$target"
done
for target in fuzz_probe fuzz_nodes fuzz_hp; do
  corpus="$top/tests/fuzz/corpus_${target#fuzz_}"
  scratch="$out/scratch_${target#fuzz_}"
  mkdir -p "$scratch"
  echo "-- $target: corpus $(ls "$corpus" | wc -l) inputs, $seconds s"
  "$out/$target" -max_total_time="$seconds" -max_len=4096 -timeout=60 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$out/$target-" "$scratch" "$corpus" >/dev/null 2>"$out/$target.log" ||
    { tail -n 60 "$out/$target.log"; echo "$target failed; the input is in $out"; exit 1; }
  grep -E "stat::number_of_executed_units|stat::new_units_added" "$out/$target.log" | tr '\n' ' '
  echo
done

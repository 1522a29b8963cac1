#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz with clang and libFuzzer (address and
# undefined-behaviour sanitizers), replays their corpus and runs each for
# the given number of seconds (default 30).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-30}"
out="$top/build/fuzz"
mkdir -p "$out"
flags="-std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -I$top/sim -I$top/driver"
sources="$(ls "$top"/sim/*.cpp) $(ls "$top"/driver/*.cpp | grep -v doroRivo.cpp)"
for target in fuzz_probe fuzz_nodes; do
  clang++ $flags "$top/tests/fuzz/$target.cpp" $sources -lcjson -lpthread -o "$out/$target"
done
"$out/fuzz_probe" -max_total_time="$seconds" -max_len=4096 "$top/tests/fuzz/corpus_probe"
"$out/fuzz_nodes" -max_total_time="$seconds" -max_len=4096 "$top/tests/fuzz/corpus_nodes"

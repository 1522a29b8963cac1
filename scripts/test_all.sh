#!/usr/bin/env bash
# Checks the formatting of the C and C++ sources (scripts/check_format.sh)
# and the Python sources (flake8), then builds everything and runs the whole
# test suite four times: a normal build (then installs it and builds the C
# example against the package),
# the library without function clones and vector kernels (SONVAR_SIMD=OFF:
# the code of other targets and the scalar paths, the same values),
# AddressSanitizer with UndefinedBehaviorSanitizer,
# and the concurrency tests under ThreadSanitizer (only their programs
# built); between the last two, the fuzz targets replay their corpus and
# run 20 seconds each.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
bash "$top/scripts/setup.sh"
jobs="$(nproc)"

configure() {  # configure DIR SANITIZER BENCHMARKS PYTHON [more CMake options]
  cmake -S "$top" -B "$top/build/$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONVAR_SANITIZE="$2" \
    -DSONVAR_BENCH="$3" -DSONVAR_PYTHON="$4" "${@:5}" >/dev/null
}

build() {  # build DIR SANITIZER BENCHMARKS PYTHON [more CMake options]: every target
  configure "$@"
  cmake --build "$top/build/$1" -j "$jobs"
}

echo "== formatting of the C and C++ sources =="
bash "$top/scripts/check_format.sh"

echo "== Python lint (flake8) =="
# Debian's python3-flake8 (scripts/setup.sh) belongs to the system's Python.
lint_python="$(command -v /usr/bin/python3 || command -v python3)"
(cd "$top" && "$lint_python" -m flake8 --max-line-length=100 python/ tests/python examples/python)

echo "== normal build =="
build normal "" ON ON
ctest --test-dir "$top/build/normal" --output-on-failure -j "$jobs"

echo "== installed package and the C example =="
bash "$top/scripts/test_install.sh" "$top/build/normal"

echo "== the library without function clones and vector kernels (SONVAR_SIMD=OFF) =="
build nosimd "" OFF OFF -DSONVAR_SIMD=OFF
ctest --test-dir "$top/build/nosimd" --output-on-failure -j "$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer =="
build asan address OFF OFF
ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$top/build/asan" --output-on-failure -j "$jobs"

echo "== fuzz targets (libFuzzer, 20 s each) =="
bash "$top/scripts/fuzz.sh" 20

echo "== ThreadSanitizer (concurrency tests) =="
# Only the programs that hold a concurrency test (the target
# concurrency_tests of tests/CMakeLists.txt, which finds them by the same
# words in their suite or test names).
configure tsan thread OFF OFF
cmake --build "$top/build/tsan" -j "$jobs" --target concurrency_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir "$top/build/tsan" --output-on-failure -j "$jobs" -R 'Concurren|Parallel|Thread'

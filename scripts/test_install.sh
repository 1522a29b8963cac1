#!/usr/bin/env bash
# Installs a finished build into a temporary prefix and builds the C examples
# examples/c/beam_map.c and examples/c/beamform_point.c against the installed
# package: through find_package in their own CMake project (the shared and the
# static targets), with pkg-config and the plain C compiler (the shared
# libraries), and statically with pkg-config's private libraries. Each
# program runs; the beam map is checked, the beamforming example checks its
# own image.
#   bash scripts/test_install.sh [build directory, default build/normal]
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$top/build/normal}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

fail() {
  echo "test_install: $*" >&2
  exit 1
}

cmake --install "$build" --prefix "$prefix" >/dev/null
pc="$(find "$prefix" -name sonvar.pc)"
[ -n "$pc" ] || fail "sonvar.pc not installed"
libdir="$(dirname "$(dirname "$pc")")"
for file in include/sonvar.h include/sonvar_beamform.h bin/doroRivo bin/sonvar; do
  [ -f "$prefix/$file" ] || fail "$file not installed"
done
for file in libsonvar.a libsonvar.so libsonvar_beamform.a libsonvar_beamform.so \
  pkgconfig/sonvar_beamform.pc cmake/Sonvar/SonvarConfig.cmake \
  cmake/Sonvar/SonvarConfigVersion.cmake; do
  [ -e "$libdir/$file" ] || fail "$file not installed in $libdir"
done
[ "$(find "$prefix/include" -type f | sort)" = "$(printf '%s\n' "$prefix/include/sonvar.h" "$prefix/include/sonvar_beamform.h")" ] ||
  fail "headers other than sonvar.h and sonvar_beamform.h were installed"
"$prefix/bin/sonvar" example field >"$work/field.json" && grep -q '"command": "field"' "$work/field.json" ||
  fail "the installed sonvar command does not run"

# check_map CSV: header, one row per grid point (41 x 36), the highest peak
# on the axis at the 20 mm focus, a focal gain along the axis and a narrow
# lateral profile in the focal plane.
check_map() {
  [ "$(head -n 1 "$1")" = "x_m,z_m,peak" ] || fail "$1: wrong header line"
  [ "$(tail -n +2 "$1" | wc -l)" -eq 1476 ] || fail "$1: expected 1476 rows"
  awk -F, 'NR > 1 {
      x = $1 * 1000; z = $2 * 1000; p = $3
      if (p > best) { best = p; bx = x; bz = z }
      if (x == 0 && z == 5) near = p
      if (x == 0 && z == 40) far = p
      if (x == 0 && z == 20) focal = p
      if (z == 20 && (x >= 2 || x <= -2) && p > side) side = p
    }
    END {
      if (best <= 0 || bx != 0 || bz < 18 || bz > 22) { print "peak " best " at x " bx " mm, z " bz " mm" > "/dev/stderr"; exit 1 }
      if (focal < 2 * near || focal < 2 * far) { print "no focal gain: " near " " focal " " far > "/dev/stderr"; exit 1 }
      if (side > 0.5 * focal) { print "focal plane 2 mm off the axis at " side / focal " of the peak" > "/dev/stderr"; exit 1 }
    }' "$1" || fail "$1: the beam map is wrong"
}

echo "-- find_package(Sonvar)"
cmake -S "$top/examples/c" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/beam_map" "$work/cmake.csv" >/dev/null
check_map "$work/cmake.csv"
"$work/cmake/beamform_point" >/dev/null || fail "beamform_point (find_package) failed"
cmake -S "$top/examples/c" -B "$work/cmake_static" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=Release -DBEAM_MAP_STATIC=ON >/dev/null
cmake --build "$work/cmake_static" >/dev/null
if ldd "$work/cmake_static/beam_map" | grep -q libsonvar; then fail "Sonvar::sonvar_static links libsonvar.so"; fi
"$work/cmake_static/beam_map" "$work/cmake_static.csv" >/dev/null
check_map "$work/cmake_static.csv"
if ldd "$work/cmake_static/beamform_point" | grep -q libsonvar_beamform; then
  fail "Sonvar::sonvar_beamform_static links libsonvar_beamform.so"
fi
"$work/cmake_static/beamform_point" >/dev/null || fail "beamform_point (static) failed"

echo "-- cc with pkg-config (shared library)"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
cc -std=c99 -pedantic -Wall -Wextra -Werror -o "$work/beam_map_pc" "$top/examples/c/beam_map.c" \
  $(pkg-config --cflags --libs sonvar) -lm
LD_LIBRARY_PATH="$libdir" "$work/beam_map_pc" "$work/pc.csv" >/dev/null
check_map "$work/pc.csv"
# shellcheck disable=SC2046
cc -std=c99 -pedantic -Wall -Wextra -Werror -o "$work/beamform_pc" "$top/examples/c/beamform_point.c" \
  $(pkg-config --cflags --libs sonvar_beamform) -lm
LD_LIBRARY_PATH="$libdir" "$work/beamform_pc" >/dev/null || fail "beamform_point (pkg-config) failed"

echo "-- cc with pkg-config --static (static library)"
# shellcheck disable=SC2046
cc -std=c99 -pedantic -Wall -Wextra -Werror -o "$work/beam_map_static" \
  "$top/examples/c/beam_map.c" $(pkg-config --cflags sonvar) "$libdir/libsonvar.a" \
  $(pkg-config --static --libs sonvar | sed 's/-lsonvar//') -lm
if ldd "$work/beam_map_static" | grep -q libsonvar; then fail "the static build links libsonvar.so"; fi
"$work/beam_map_static" "$work/static.csv" >/dev/null
check_map "$work/static.csv"
# shellcheck disable=SC2046
cc -std=c99 -pedantic -Wall -Wextra -Werror -o "$work/beamform_static" \
  "$top/examples/c/beamform_point.c" $(pkg-config --cflags sonvar_beamform) \
  "$libdir/libsonvar_beamform.a" $(pkg-config --static --libs sonvar_beamform | sed 's/-lsonvar_beamform//') -lm
if ldd "$work/beamform_static" | grep -q libsonvar_beamform; then
  fail "the static build links libsonvar_beamform.so"
fi
"$work/beamform_static" >/dev/null || fail "beamform_point (static, pkg-config) failed"
for csv in cmake_static pc static; do
  cmp -s "$work/cmake.csv" "$work/$csv.csv" || fail "the $csv build wrote another map than the first"
done
echo "installed package: headers, libraries, driver, CMake package and pkg-config files work"

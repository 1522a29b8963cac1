#!/usr/bin/env bash
# Builds everything in release mode and runs the driver on the example inputs.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
bash "$top/scripts/setup.sh"
cmake -S "$top" -B "$top/build/release" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$top/build/release" -j "$(nproc)"
cd "$top/examples"
exec "$top/build/release/doroRivo"

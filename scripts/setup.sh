#!/usr/bin/env bash
# Installs the Debian packages the build needs, when they are missing.
set -euo pipefail
packages="cmake g++ make pkg-config libgtest-dev libbenchmark-dev libcjson-dev
  pybind11-dev python3-dev python3-numpy python3-pytest python3-matplotlib python3-scipy
  python3-h5py python3-tqdm python3-flake8 openmpi-bin libopenmpi-dev python3-mpi4py
  clang libclang-rt-14-dev clang-format"
missing=""
for package in $packages; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing="$missing $package"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  as_root=""
  [ "$(id -u)" -eq 0 ] || as_root="sudo"
  $as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y -qq $missing
fi

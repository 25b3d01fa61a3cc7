#!/usr/bin/env bash
# Installs with apt-get whatever the build and the tests need and the machine lacks.
# Extra package names may be given as arguments (benchmarks ask for their own tools).
set -euo pipefail

packages=(cmake g++ clang libclang-rt-dev libjpeg62-turbo-dev libgtest-dev libgmock-dev
          libbenchmark-dev libpng-dev libtiff-dev pkg-config libcpp-httplib-dev
          nlohmann-json3-dev chromium
          python3-dev pybind11-dev python3-numpy python3-pytest python3-dask python3-pil "$@")
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi

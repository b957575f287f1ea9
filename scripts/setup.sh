#!/usr/bin/env bash
# Installs what the build, the tests and the demo need (only what is missing), then builds.
# Usage: scripts/setup.sh [build-dir [extra cmake arguments...]]
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  build-essential cmake pkg-config git
  libgtest-dev libgmock-dev
  libusb-1.0-0-dev libhidapi-dev libcurl4-openssl-dev zlib1g-dev libudev-dev
  clang libclang-rt-14-dev
  python3 python3-gi python3-jsonschema gir1.2-umockdev-1.0 umockdev libumockdev-dev
  iproute2 util-linux socat procps
  lpc21isp lpctools imx-usb-loader
  lintian devscripts mandoc
  ansible-core
)

missing=()
for package in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update </dev/null
  apt-get install -y --no-install-recommends "${missing[@]}" </dev/null
fi

build_dir=${1:-build}
shift || true
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"

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
  ansible-core python3-pytest python3-pytest-forked python3-pytest-xdist openssh-server
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
  # No package may start a service on this machine (openssh-server's sshd above all: the tests
  # start their own, inside private network namespaces): invoke-rc.d asks policy-rc.d, and 101
  # means "not allowed". A policy-rc.d already there is left as it is.
  guard=/usr/sbin/policy-rc.d
  made_guard=
  if [ ! -e "$guard" ]; then
    printf '#!/bin/sh\nexit 101\n' >"$guard"
    chmod 755 "$guard"
    made_guard=1
    trap 'rm -f "$guard"' EXIT
  fi
  apt-get update </dev/null
  apt-get install -y --no-install-recommends "${missing[@]}" </dev/null
  if [ -n "$made_guard" ]; then
    rm -f "$guard"
    trap - EXIT
  fi
fi

build_dir=${1:-build}
shift || true
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"

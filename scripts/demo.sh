#!/usr/bin/env bash
# Demo: builds the program and shows its usage. (The full demo against simulated modules and a
# simulated update server replaces this once the update flow is in.)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build
echo "\$ Updater -h"
build/Updater -h || true

#!/usr/bin/env bash
# Installs, builds and starts the server; arguments go to veltrabox.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build -DVELTRABOX_TESTS=OFF -DCMAKE_BUILD_TYPE=Release
exec build/veltrabox "$@"

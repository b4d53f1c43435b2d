#!/usr/bin/env bash
# Installs, builds and starts the server; arguments go to veltrabox.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build -DVELTRABOX_TESTS=OFF -DCMAKE_BUILD_TYPE=Release
# The example registry: every instance says what it serves, and every error shows. Set
# VELTRABOX_REGISTRY for another one.
export VELTRABOX_REGISTRY=${VELTRABOX_REGISTRY:-$PWD/config/registry.reg}
exec build/veltrabox "$@"

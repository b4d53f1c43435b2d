#!/usr/bin/env bash
# The manual pages: mandoc's lint has nothing to say about any of them, style included.
# Without mandoc the test skips (77), except under CI=true, where it fails.
set -euo pipefail
if ! command -v mandoc >/dev/null; then
  echo "mandoc is missing (scripts/setup.sh installs it)" >&2
  [ "${CI:-}" = true ] && exit 1
  exit 77
fi
report=$(mandoc -T lint -W style "$1"/man/* 2>&1 || true)
[ -z "$report" ] || { echo "$report" >&2; exit 1; }

#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages, when anything is missing.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
          libbenchmark-dev clang-format stunnel4 openssl tshark iproute2
          nlohmann-json3-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  # tshark (the client decoder's independent check) would ask whether to capture setuid.
  echo "wireshark-common wireshark-common/install-setuid boolean false" |
      $sudo debconf-set-selections
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends "${missing[@]}"
fi

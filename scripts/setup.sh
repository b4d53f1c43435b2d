#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages, when anything is missing;
# the packages named as arguments too.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
          libbenchmark-dev clang-format stunnel4 openssl tshark iproute2 mandoc
          nlohmann-json3-dev libmosquitto-dev mosquitto mosquitto-clients
          systemd "$@")
missing=()
# dpkg-query, not dpkg -s: with the ARM architectures added, a package installed for several
# architectures is ambiguous to dpkg -s, which would then fetch the package lists every time.
for p in "${packages[@]}"; do
  dpkg-query -W -f='${db:Status-Abbrev}\n' "$p" 2>/dev/null | grep -q '^ii' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  # tshark (the client decoder's independent check) would ask whether to capture setuid.
  echo "wireshark-common wireshark-common/install-setuid boolean false" |
      $sudo debconf-set-selections
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends "${missing[@]}"
fi

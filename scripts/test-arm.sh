#!/usr/bin/env bash
# test-arm.sh [arm64|armhf]: cross-builds the plain test suite for an ARM gateway (both when no
# argument is given) with Debian's cross toolchain and runs all of it under qemu-user.
set -euo pipefail
cd "$(dirname "$0")/.."
arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(arm64 armhf)

declare -A triplet=([arm64]=aarch64-linux-gnu [armhf]=arm-linux-gnueabihf)
for arch in "${arches[@]}"; do
  [ -n "${triplet[$arch]:-}" ] || { echo "usage: $0 [arm64|armhf]" >&2; exit 2; }
done

bash scripts/setup.sh
sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
apt() { DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 "$@"; }

# qemu-user where it exists, otherwise the static build; either brings qemu-aarch64 and qemu-arm.
qemu=qemu-user
apt-cache show qemu-user >/dev/null 2>&1 || qemu=qemu-user-static
# The tests run on the target's own libc and libstdc++ (multiarch), as on a gateway: with its
# iconv modules, which the registry file's UTF-16 and Windows-1252 decoding loads.
packages=()
for arch in "${arches[@]}"; do
  packages+=("g++-${triplet[$arch]}" "libgtest-dev:$arch" "libgmock-dev:$arch" "libc6:$arch"
             "libstdc++6:$arch" "libmosquitto-dev:$arch")
done
missing=()
for p in "$qemu" "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  for arch in "${arches[@]}"; do
    dpkg --print-foreign-architectures | grep -qx "$arch" || $sudo dpkg --add-architecture "$arch"
  done
  apt update
  apt install -y --no-install-recommends "${missing[@]}"
fi

for arch in "${arches[@]}"; do
  echo "=== build-$arch"
  bash scripts/build.sh "build-$arch" -DCMAKE_TOOLCHAIN_FILE=cmake/"$arch".cmake -DVELTRABOX_WERROR=ON
  (cd "build-$arch" && ctest --output-on-failure -j "$(nproc)")
done

#!/usr/bin/env bash
# package.sh [ARCH...]: builds the Debian packages into dist/ (amd64, arm64 and armhf when no
# ARCH is given; the ARM ones with the cross toolchain files cmake/ARCH.cmake, where there are
# such files), then checks them. The amd64 package installs, runs `veltrabox -x` from /usr/bin
# and purges cleanly, in a throwaway copy of this system (an overlay of / in a private mount
# namespace), so the machine itself is not touched and no systemd as PID 1 is needed. An ARM
# package is unpacked and its `veltrabox -x` run under qemu-user.
set -euo pipefail
cd "$(dirname "$0")/.."
arches=("$@")
if [ ${#arches[@]} -eq 0 ]; then
  arches=(amd64)
  for arch in arm64 armhf; do
    if [ -f "cmake/$arch.cmake" ]; then arches+=("$arch"); else echo "$arch: no cmake/$arch.cmake, skipped" >&2; fi
  done
fi
declare -A triplet=([amd64]=x86_64-linux-gnu [arm64]=aarch64-linux-gnu [armhf]=arm-linux-gnueabihf)
for arch in "${arches[@]}"; do
  [ -n "${triplet[$arch]:-}" ] || { echo "usage: $0 [amd64|arm64|armhf]..." >&2; exit 2; }
  [ "$arch" = amd64 ] || [ -f "cmake/$arch.cmake" ] || {
    echo "no cross toolchain file cmake/$arch.cmake" >&2; exit 1; }
done

bash scripts/setup.sh
sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
apt() { DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 "$@"; }
# dpkg-shlibdeps reads the target's libraries from their multiarch packages.
packages=(dpkg-dev)
for arch in "${arches[@]}"; do
  [ "$arch" = amd64 ] && continue
  packages+=("g++-${triplet[$arch]}" "libstdc++6:$arch" "libmosquitto-dev:$arch" qemu-user)
done
missing=()
for p in "${packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  for arch in "${arches[@]}"; do
    [ "$arch" = amd64 ] || dpkg --print-foreign-architectures | grep -qx "$arch" ||
      $sudo dpkg --add-architecture "$arch"
  done
  apt update
  apt install -y --no-install-recommends "${missing[@]}"
fi

version="7.02+$(git log -1 --date=format:%Y%m%d --format=%cd.%h)"
mkdir -p dist

# The Depends of the files under $1 for architecture $2, from dpkg-shlibdeps. The private
# libraries are ours and need no dependency.
depends() {
  local root=$1 arch=$2 scratch
  scratch=$(mktemp -d)
  mkdir "$scratch/debian" && touch "$scratch/debian/control"
  (cd "$scratch" && DEB_HOST_ARCH=$arch dpkg-shlibdeps -O --ignore-missing-info \
     -l"$root/usr/lib/veltrabox" "$root"/usr/bin/* "$root"/usr/lib/veltrabox/*.so 2>/dev/null) |
    sed -n 's/^shlibs:Depends=//p'
  rm -rf "$scratch"
}

build_package() {
  local arch=$1 build=build-package-$1 root toolchain=()
  [ "$arch" = amd64 ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE="cmake/$arch.cmake")
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTRABOX_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr "${toolchain[@]}" >/dev/null
  cmake --build "$build"
  root=$build/root
  rm -rf "$root"
  DESTDIR=$root cmake --install "$build" --strip >/dev/null
  mkdir -p "$root/DEBIAN"
  cp debian-package/postinst debian-package/prerm debian-package/postrm "$root/DEBIAN/"
  (cd "$root" && find etc -type f | sed 's|^|/|' | sort) >"$root/DEBIAN/conffiles"
  sed -e "s|@VERSION@|$version|" -e "s|@ARCH@|$arch|" \
      -e "s|@DEPENDS@|$(depends "$PWD/$root" "$arch")|" \
      -e "s|@SIZE@|$(du -sk --exclude=DEBIAN "$root" | cut -f1)|" \
      debian-package/control >"$root/DEBIAN/control"
  # Every manual page of man/ is in the package, in the section its name ends in.
  for page in man/*.[1-8]; do
    page=${page#man/}
    [ -f "$root/usr/share/man/man${page##*.}/$page" ] || {
      echo "$arch: the package lacks the manual page $page" >&2; exit 1; }
  done
  # The server links libmosquitto (MQTT): the package must pull it in.
  grep -q '^Depends:.*libmosquitto1' "$root/DEBIAN/control" || {
    echo "$arch: Depends lacks libmosquitto1" >&2; exit 1; }
  dpkg-deb --build --root-owner-group "$root" "dist/veltrabox_${version}_$arch.deb" >/dev/null
  echo "dist/veltrabox_${version}_$arch.deb: Depends: $(sed -n 's/^Depends: //p' "$root/DEBIAN/control")"
}

# Install, run, purge, in an overlay of this system that vanishes with its mount namespace.
check_package() {
  local deb=$1 scratch
  scratch=$(mktemp -d)
  mkdir "$scratch"/{upper,work,root}
  cp "$deb" "$scratch/upper/veltrabox.deb"
  $sudo unshare --mount --fork bash -euc '
    s=$1
    mount -t overlay overlay -o "lowerdir=/,upperdir=$s/upper,workdir=$s/work" "$s/root"
    mount --rbind /dev "$s/root/dev"
    mount -t proc proc "$s/root/proc"
    mount -t tmpfs tmpfs "$s/root/run"
    mount -t tmpfs tmpfs "$s/root/tmp"
    chroot "$s/root" bash -euc "
      fail() { echo \"package check: \$*\" >&2; exit 1; }
      dpkg -i /veltrabox.deb >/dev/null
      id -nG veltrabox | grep -qw dialout || fail \"no user veltrabox in dialout\"
      [ -f /usr/lib/systemd/system/veltrabox@.service ] || fail \"no template unit\"
      set +e; /usr/bin/veltrabox -x >/dev/null 2>&1; status=\$?; set -e
      [ \$status -eq 255 ] || fail \"veltrabox -x ended with \$status\"
      dpkg --purge veltrabox >/dev/null
      for f in /usr/bin/veltrabox /usr/bin/veltraclient /usr/lib/veltrabox /etc/veltrabox \
               /usr/lib/systemd/system/veltrabox.service /usr/lib/systemd/system/veltrabox-tls.service \
               /usr/lib/sysusers.d/veltrabox.conf; do
        [ ! -e \$f ] || fail \"\$f left after purge\"
      done
      dpkg -s veltrabox >/dev/null 2>&1 && fail \"still known to dpkg\" || true
    "
  ' check "$scratch"
  local status=$?
  $sudo rm -rf "$scratch"
  [ $status -eq 0 ] && echo "$deb: installs, runs veltrabox -x, purges cleanly"
  return $status
}

# A foreign package cannot be installed here; its unpacked programs must run under the emulator.
check_cross_package() {
  local deb=$1 arch=$2 scratch status emulator=(qemu-aarch64)
  [ "$arch" = armhf ] && emulator=(qemu-arm)
  scratch=$(mktemp -d)
  dpkg-deb -x "$deb" "$scratch"
  set +e; "${emulator[@]}" -L "/usr/${triplet[$arch]}" "$scratch/usr/bin/veltrabox" -x >/dev/null 2>&1
  status=$?; set -e
  rm -rf "$scratch"
  [ $status -eq 255 ] || { echo "$deb: veltrabox -x ended with $status under the emulator" >&2; return 1; }
  echo "$deb: unpacks and runs veltrabox -x under the emulator"
}

for arch in "${arches[@]}"; do build_package "$arch"; done
for arch in "${arches[@]}"; do
  deb="dist/veltrabox_${version}_$arch.deb"
  if [ "$arch" = amd64 ]; then check_package "$deb"; else check_cross_package "$deb" "$arch"; fi
done

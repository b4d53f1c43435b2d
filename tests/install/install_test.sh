#!/usr/bin/env bash
# The installed tree: it runs from where it is installed and from wherever it is moved, finds
# its LDV library in its private folder, keeps an existing registry, and its units verify.
# Usage: install_test.sh BUILD_DIR [EMULATOR]: a cross build's programs run under EMULATOR.
set -euo pipefail
build=$(cd "$1" && pwd)
emulator=${2:-}
work=$(mktemp -d)
server=""
cleanup() {
  [ -z "$server" ] || kill -KILL "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

install_into() {  # DESTDIR PREFIX
  DESTDIR=$1 cmake --install "$build" --prefix "$2" >"$work/install.log" || {
    cat "$work/install.log"; fail "cmake --install"; }
}

# A tree under /opt, then moved elsewhere: the run paths are relative.
install_into "$work/root" /opt/veltrabox
mv "$work/root/opt/veltrabox" "$work/moved"
bin=$work/moved/bin
[ -f "$work/moved/lib/veltrabox/libldv_vni.so" ] || fail "no private LDV library"
[ ! -e "$bin/libldv_vni.so" ] || fail "the LDV library lies beside the program"

# The usage text (255), not the loader's 127: the platform library was found.
set +e
$emulator "$bin/veltrabox" -x >/dev/null 2>&1
status=$?
set -e
[ "$status" -eq 255 ] || fail "veltrabox -x ended with $status"

# -m loads libldv_vni.so from the private folder, or ends at once with 255.
socket=$work/status.sock
env -u VELTRABOX_LIBRARY_PATH VELTRABOX_STATUS_SOCKET="$socket" \
  VELTRABOX_REGISTRY="$work/none.reg" $emulator "$bin/veltrabox" -m -p 0 2>"$work/server.log" &
server=$!
for _ in $(seq 100); do
  if $emulator "$bin/veltraclient" -S -j "$socket" 2>/dev/null | grep -q '"state":"listening"'; then
    break
  fi
  kill -0 "$server" 2>/dev/null || { cat "$work/server.log"; fail "veltrabox -m ended"; }
  sleep 0.1
done
$emulator "$bin/veltraclient" -S "$socket" | grep -q listening || fail "no status from the moved tree"
kill -TERM "$server"
set +e
wait "$server"
status=$?
set -e
server=""
[ "$status" -eq 0 ] || fail "SIGTERM: exit status $status"

# The examples go to /etc/veltrabox whatever the prefix, and are never replaced.
registry=$work/root/etc/veltrabox/registry.reg
[ -f "$registry" ] || fail "no example registry"
[ -f "$work/root/etc/veltrabox/veltrabox.conf" ] || fail "no example options"
echo '; mine' >"$registry"
install_into "$work/root" /opt/veltrabox
[ "$(cat "$registry")" = "; mine" ] || fail "the registry was replaced"

# The units, checked against a tree installed under /usr.
install_into "$work/usr-root" /usr
units=$work/usr-root/usr/lib/systemd/system
for unit in veltrabox.service veltrabox@.service veltrabox-tls.service; do
  [ -f "$units/$unit" ] || fail "no unit $unit"
done
[ -f "$work/usr-root/etc/veltrabox/stunnel.conf" ] || fail "no example stunnel configuration"
[ -f "$work/usr-root/usr/share/man/man8/veltrabox.8" ] || fail "no manual page"
if ! command -v systemd-analyze >/dev/null; then
  [ "${CI:-}" != true ] || fail "CI=true, and systemd-analyze is missing (package systemd)"
  echo "systemd-analyze missing: units not verified"
  exit 0
fi
printf 'VELTRABOX_OPTIONS=-p 5000\n' >"$work/usr-root/etc/veltrabox/site.conf"
# The units that every unit depends on (targets, slices) come from this machine.
for unit in /usr/lib/systemd/system/*.target /usr/lib/systemd/system/*.slice; do
  [ -e "$units/${unit##*/}" ] || cp "$unit" "$units/"
done
# The reload command's shell comes from this machine too.
mkdir -p "$work/usr-root/bin"
cp -L /bin/sh "$work/usr-root/bin/"
# stunnel's unit names stunnel4 by its path: verified where stunnel4 is installed.
tls_unit=""
if [ -x /usr/bin/stunnel4 ]; then
  cp -L /usr/bin/stunnel4 "$work/usr-root/usr/bin/"
  tls_unit=veltrabox-tls.service
fi
systemd-analyze verify --man=no --root="$work/usr-root" veltrabox.service veltrabox@site.service $tls_unit \
  >"$work/verify.log" 2>&1 || { cat "$work/verify.log"; fail "systemd-analyze verify"; }
if [ -s "$work/verify.log" ]; then cat "$work/verify.log"; fail "systemd-analyze verify warned"; fi
echo "installed tree: ok"

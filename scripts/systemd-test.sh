#!/usr/bin/env bash
# systemd-test.sh [DEB]: the amd64 package under a real systemd. Boots a minimal Debian with
# systemd as PID 1 in private PID, mount, UTS, IPC, network and cgroup namespaces (no virtual
# machine), on a throwaway overlay of a tree that debootstrap made once into the cache
# ($VELTRABOX_SYSTEMD_CACHE, by default /var/cache/veltrabox-systemd) from the mirror that apt
# here uses. Installs DEB there (by default what `scripts/package.sh amd64` builds) and checks
# the units through systemctl and journalctl. All traffic stays in the private network.
# The last line counts the checks; the exit status is 1 when any failed. Where the machine
# refuses the namespaces, it says why and skips, or fails under CI=true.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || exec sudo -E bash "$0" "$@"
start=$SECONDS
include=systemd,procps,python3,stunnel4,openssl,iproute2
cache=${VELTRABOX_SYSTEMD_CACHE:-/var/cache/veltrabox-systemd}

refuse() {
  echo "systemd-test: $*" >&2
  if [ "${CI:-}" = true ]; then echo "0 passed, 1 failed"; exit 1; fi
  echo "skipped: $*"
  echo "0 passed, 0 failed, 1 skipped"
  exit 0
}
if ! why=$(unshare --pid --mount --uts --ipc --net --cgroup --fork true 2>&1); then
  refuse "this machine refuses private namespaces (unshare: ${why:-no reason given})"
fi
grep -qw overlay /proc/filesystems || modprobe overlay 2>/dev/null ||
  refuse "no overlay file system for the throwaway copy of the cached tree"
cgroup_mount=$(findmnt -n -t cgroup2 -o TARGET | head -1)
[ -n "$cgroup_mount" ] || refuse "no cgroup2 hierarchy for the container's systemd"

# The mirror that apt here uses for the suite $1 (one-line and deb822 sources).
mirror() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk -v suite="$1" '$1 == "deb" { i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                                     if ($(i + 1) == suite) print $i }' "$f"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v suite="$1" 'BEGIN { RS = ""; FS = "\n" }
      { types = uris = suites = ""; enabled = "yes"
        for (i = 1; i <= NF; i++) {
          if ($i ~ /^#/ || index($i, ":") == 0) continue
          key = tolower(substr($i, 1, index($i, ":") - 1)); value = substr($i, index($i, ":") + 1)
          if (key == "types") types = value; else if (key == "uris") uris = value
          else if (key == "suites") suites = value; else if (key == "enabled") enabled = value
        }
        if (enabled !~ /no/ && (" " types " ") ~ / deb / && (" " suites " ") ~ (" " suite " ")) {
          split(uris, u, " "); print u[1] } }' "$f"
  done
}

deb=${1:-}
if [ -z "$deb" ]; then
  bash scripts/package.sh amd64
  deb=$(ls -t dist/veltrabox_*_amd64.deb | head -1)
fi
[ -f "$deb" ] || { echo "no package $deb" >&2; exit 2; }

# The container has no network: the tree holds what the package depends on.
depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/:.*//' | xargs | tr ' ' ,)
include=$include${depends:+,$depends}

# The cached tree: made once, or again when what it includes changed.
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[ -n "$suite" ] || refuse "no VERSION_CODENAME in /etc/os-release to pick the suite"
tree=$cache/$suite
mkdir -p "$cache"
exec 9>"$cache/lock"
flock -x 9
if [ "$(cat "$tree/.veltrabox-tree" 2>/dev/null)" != "$suite $include" ]; then
  dpkg-query -W -f='${db:Status-Abbrev}\n' debootstrap 2>/dev/null | grep -q '^ii' ||
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y \
      --no-install-recommends debootstrap >/dev/null
  url=$(mirror "$suite" | head -1)
  [ -n "$url" ] || refuse "apt here names no mirror for $suite"
  echo "debootstrap $suite from $url into $tree"
  rm -rf "$tree" "$tree.new"
  if ! debootstrap --variant=minbase --include="$include" "$suite" "$tree.new" "$url" \
      >"$cache/debootstrap.log" 2>&1; then
    tail -20 "$cache/debootstrap.log"
    echo "0 passed, 1 failed"
    exit 1
  fi
  echo "$suite $include" >"$tree.new/.veltrabox-tree"
  mv "$tree.new" "$tree"
fi
flock -s 9

scratch=$(mktemp -d /tmp/veltrabox-systemd.XXXXXX)
cgroup=$cgroup_mount$(sed -n 's/^0:://p' /proc/self/cgroup | sed 's|/$||')/veltrabox-systemd-$$
launcher="" init="" finished=""
passed=0 failed=0 skipped=0
cleanup() {
  local status=$?
  # A step that is no check failed (set -e): the counts still close the output.
  if [ -z "$finished" ] && [ "$status" -ne 0 ]; then
    echo "FAIL: the run stopped early (exit status $status)"
    echo "$passed passed, $((failed + 1)) failed, $skipped skipped"
  fi
  [ -z "$init" ] || kill -KILL "$init" 2>/dev/null || true
  [ -z "$launcher" ] || wait "$launcher" 2>/dev/null || true
  if [ -d "$cgroup" ]; then
    for _ in $(seq 50); do
      find "$cgroup" -depth -type d -exec rmdir {} + 2>/dev/null || true
      [ -d "$cgroup" ] || break
      sleep 0.1
    done
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

mkdir -p "$scratch"/{upper/root,upper/etc/systemd/system,work,root}
# No console to log in on.
ln -s /dev/null "$scratch/upper/etc/systemd/system/console-getty.service"
cp "$deb" "$scratch/upper/root/veltrabox.deb"
cp tests/systemd/peer.py "$scratch/upper/root/peer.py"
mkdir "$cgroup"
# The launcher is PID 1 of the new namespaces until it becomes systemd: it puts the overlay
# together with the API file systems that a container's systemd expects to find mounted.
sh -c 'echo $$ >"$1/cgroup.procs" && shift && exec "$@"' launcher "$cgroup" \
  unshare --pid --mount --uts --ipc --net --cgroup --fork --propagation private bash -euc '
    r=$1/root
    mount -t overlay overlay -o "lowerdir=$2,upperdir=$1/upper,workdir=$1/work" "$r"
    mount -t proc proc "$r/proc"
    mount -t sysfs -o ro sysfs "$r/sys"
    mount -t cgroup2 cgroup2 "$r/sys/fs/cgroup"
    mount -t tmpfs -o mode=755 tmpfs "$r/dev"
    # Nodes of its own, none bound from the machine: a getty takes /dev/console for its
    # terminal and would change the owner and mode of the node behind it.
    mkdir "$r/dev/net"
    mknod -m 666 "$r/dev/null" c 1 3 && mknod -m 666 "$r/dev/zero" c 1 5
    mknod -m 666 "$r/dev/full" c 1 7 && mknod -m 666 "$r/dev/random" c 1 8
    mknod -m 666 "$r/dev/urandom" c 1 9 && mknod -m 666 "$r/dev/tty" c 5 0
    mknod -m 600 "$r/dev/console" c 1 3
    [ ! -c /dev/net/tun ] || mknod -m 600 "$r/dev/net/tun" c 10 200
    mkdir "$r/dev/pts" && mount -t devpts -o newinstance,ptmxmode=0666,mode=620,gid=5 devpts "$r/dev/pts"
    ln -s pts/ptmx "$r/dev/ptmx"
    ln -s /proc/self/fd "$r/dev/fd"
    # pivot_root, not chroot: the private mounts of a unit (PrivateDevices=) start from the root mount.
    mkdir -p "$r/.oldroot" && cd "$r" && pivot_root . .oldroot
    exec chroot . sh -c "umount -l /.oldroot && rmdir /.oldroot &&
      exec env -i container=veltrabox-test /lib/systemd/systemd"
  ' launcher "$scratch" "$tree" >"$scratch/console.log" 2>&1 &
launcher=$!
for _ in $(seq 100); do
  init=$(cat "/proc/$launcher/task/$launcher/children" 2>/dev/null | awk '{ print $1 }')
  [ -z "$init" ] || break
  sleep 0.1
done
[ -n "$init" ] || { cat "$scratch/console.log"; echo "no container started"; exit 1; }

# Runs a command inside the container.
inside() {
  nsenter -t "$init" -m -u -i -n -p -C -r -w env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"
}
# Waits up to $1 seconds for the command to succeed.
wait_for() {
  local tenths=$(($1 * 10)) i
  shift
  for ((i = 0; i < tenths; i++)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}
prop() { inside systemctl show -P "$2" "$1"; }
has() { [ "$(prop "$1" "$2")" = "$3" ]; }
status_matches() { prop veltrabox StatusText | grep -qE "$1"; }
journal() { inside journalctl --no-pager -o cat "$@"; }
# A client (veltraclient ARGS) as a unit of the container, its output in /run/UNIT.out.
client() {
  local unit=$1
  shift
  inside systemd-run -q --unit="$unit" -p StandardOutput="file:/run/$unit.out" veltraclient "$@"
}
# "30s", "1min 30s", "500ms" in milliseconds.
milliseconds() {
  awk '{ ms = 0
         for (i = 1; i <= NF; i++) {
           unit = $i; sub(/^[0-9.]+/, "", unit)
           if (unit == "h") ms += $i * 3600000; else if (unit == "min") ms += $i * 60000
           else if (unit == "s") ms += $i * 1000; else if (unit == "ms") ms += $i
         }
         printf "%d\n", ms }' <<<"$1"
}

pass() { echo "ok: $1"; passed=$((passed + 1)); }
# Under CI=true a check that lacks what it needs fails, unless CI truly cannot have it.
skip() {
  if [ "${CI:-}" = true ] && ! ci_cannot_have "$1"; then fail "CI=true, and the check lacks: $1"; return; fi
  echo "skipped: $1"; skipped=$((skipped + 1))
}
ci_cannot_have() {
  local prefix
  while IFS= read -r prefix; do
    [[ $1 == "$prefix"* ]] && return 0
  done < <(sed -n '/^#/d; s/ -- .*//p' tests/support/ci_cannot_have.txt)
  return 1
}
fail() {
  echo "FAIL: $1"
  failed=$((failed + 1))
  local unit
  for unit in "${@:2}"; do
    { inside systemctl status --no-pager -n 0 "$unit" || true; } 2>&1 | sed 's/^/    /'
    { inside journalctl --no-pager -n 15 -u "$unit" || true; } 2>&1 | sed 's/^/    /'
  done
}
finish() {
  finished=yes
  echo "systemd-test: $((SECONDS - start)) s"
  echo "$passed passed, $failed failed, $skipped skipped"
  [ "$failed" -eq 0 ] && exit 0
  exit 1
}

booted() { case $(inside systemctl is-system-running 2>/dev/null) in running | degraded) ;; *) false ;; esac; }
if ! wait_for 60 booted; then
  cat "$scratch/console.log"
  fail "systemd did not come up in the container"
  finish
fi
echo "systemd $(inside systemctl --version | awk 'NR == 1 { print $2 }') is PID 1, $(inside systemctl is-system-running 2>/dev/null || true)"
inside systemctl --failed --no-legend --plain | sed 's/^/    failed unit: /'

if inside dpkg -i /root/veltrabox.deb >"$scratch/dpkg.log" 2>&1 && inside id -nG veltrabox | grep -qw dialout; then
  pass "the package installs; its user veltrabox is in dialout"
else
  cat "$scratch/dpkg.log"
  fail "the package does not install"
  finish
fi

# Two instances on the simulated channel (what a client sends to one the other's client
# receives), the first on 127.0.0.1 only, behind stunnel; a template instance on lon0.
# Zones 0x17: the debug lines of start-up and threads besides the errors.
inside sh -c 'cat >/etc/veltrabox/registry.reg' <<'EOF'
[HKEY_LOCAL_MACHINE\DebugZones]
"Quorvel"=dword:00000017

[HKEY_LOCAL_MACHINE\Quorvel\Port49152]
"ListenAddress"="127.0.0.1"
EOF
echo 'VELTRABOX_OPTIONS=-p 49152 -d LON1: -i -p 49154 -d LON1:' | inside sh -c 'cat >/etc/veltrabox/veltrabox.conf'
echo 'VELTRABOX_OPTIONS=-p 5002 -d lon0' | inside sh -c 'cat >/etc/veltrabox/lon.conf'

# --- Ready, and STATUS= following a client.
if inside systemctl start veltrabox.service veltrabox@lon.service && has veltrabox ActiveState active &&
   has veltrabox@lon ActiveState active; then
  pass "veltrabox.service and veltrabox@lon.service are active (READY=1 came): $(prop veltrabox StatusText)"
else
  fail "the units do not become active" veltrabox veltrabox@lon
  finish
fi
healthy_since=$SECONDS
main_pid=$(prop veltrabox MainPID)
lon_pid=$(prop veltrabox@lon MainPID)

# --- TLS: stunnel in front of 49152; a client on 49154 echoes what reaches it.
inside sh -euc '
  mkdir -p /etc/veltrabox/tls && cd /etc/veltrabox/tls
  key() { name=$1; shift; openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
            -subj "/CN=$name" -keyout "$name.key" "$@" 2>/dev/null; }
  sign() { name=$1; shift; openssl x509 -req -in "$name.csr" -CA ca.pem -CAkey ca.key \
             -CAcreateserial -days 2 -out "$name.pem" "$@" 2>/dev/null; }
  key ca -x509 -days 2 -out ca.pem
  key server -out server.csr
  echo "subjectAltName=DNS:gateway.test" >server.ext
  sign server -extfile server.ext
  key client -out client.csr && sign client
  chgrp stunnel4 server.key && chmod 640 server.key'
tls_listening() { inside ss -Hltn 'sport = :49153' | grep -q .; }
if inside systemctl start veltrabox-tls.service && wait_for 10 tls_listening; then
  client vb-echo -p 49154 -e -t 120
  if wait_for 10 status_matches "49154 connected" &&
     answer=$(inside timeout 30 python3 /root/peer.py tls 49153 /etc/veltrabox/tls "00 03 01 02 03") &&
     [ "$answer" = "00 03 01 02 03" ]; then
    pass "veltrabox-tls.service passes a telegram through stunnel and back"
  else
    fail "no telegram through stunnel (answer: ${answer:-none})" veltrabox-tls veltrabox
  fi
  inside systemctl stop vb-echo
else
  fail "veltrabox-tls.service does not listen on 49153" veltrabox-tls
fi

client vb-served -p 49152 -t 300
if wait_for 10 status_matches "49152 connected 127\.0\.0\.1:[0-9]+"; then
  served=$(prop veltrabox StatusText | grep -oE "49152 connected [0-9.:]+")
  pass "STATUS= shows the client connecting: $served"
else
  fail "STATUS= does not show the client: $(prop veltrabox StatusText)" veltrabox
fi

# --- The pump threads run at nice -10 where LimitNICE could be raised.
nice_limit=$(inside cat "/proc/$main_pid/limits" | awk '/^Max nice priority/ { print $5 }')
if [ "$nice_limit" != 30 ]; then
  skip "pump thread priority: RLIMIT_NICE stays at ${nice_limit:-?} (this container cannot raise it: no CAP_SYS_RESOURCE)"
elif inside sh -c "cat /proc/$main_pid/task/*/stat" | awk '{ sub(/.*\) /, ""); print $17 }' | grep -qx -- -10; then
  pass "LimitNICE=-10 gives the pump threads nice -10"
else
  fail "no pump thread at nice -10 under LimitNICE=-10" veltrabox
fi

# --- Reload: the debug zones change while the served client stays. A second client is turned
# away with a line under the Default zone, which the reload switches off.
turned_away() { journal -u veltrabox --since "@$1" | grep -c "Weiterer Client abgewiesen" || true; }
if [ -z "$(prop veltrabox ExecReload)" ]; then
  skip "reload: no ExecReload in veltrabox.service"
else
  inside sed -i 's/"Quorvel"=dword:00000017/"Quorvel"=dword:00000010/' /etc/veltrabox/registry.reg
  since=$(inside date +%s)
  sleep 1
  if inside systemctl reload veltrabox && has veltrabox MainPID "$main_pid" &&
     has vb-served ActiveState active && status_matches "$served"; then
    inside veltraclient -p 49152 -t 1 >/dev/null 2>&1 || true
    client vb-sender -p 49154 -n 0 "00 03 0A 0B 0C"
    if wait_for 10 inside grep -q "00 03 0A 0B 0C" /run/vb-served.out && [ "$(turned_away "$since")" -eq 0 ]; then
      pass "systemctl reload: new debug zones, the served client kept and still carried a telegram"
    else
      fail "after the reload the served client got nothing, or the old zones still apply" veltrabox
    fi
  else
    fail "systemctl reload dropped the served client or restarted the server" veltrabox vb-served
  fi
fi

inside systemctl stop vb-served
if wait_for 10 status_matches "49152 listening"; then
  pass "STATUS= shows the client leaving: $(prop veltrabox StatusText)"
else
  fail "STATUS= still shows the client: $(prop veltrabox StatusText)" veltrabox
fi

# --- The template instance on a TUN device playing a LON network interface, inside the
# unit's sandbox. A client before the interface exists sees it fail (an error line).
inside veltraclient -p 5002 -t 2 >/dev/null 2>&1 || true
if ! inside test -c /dev/net/tun; then
  skip "netif: no /dev/net/tun on this machine"
else
  inside systemd-run -q --unit=vb-adapter python3 /root/peer.py adapter lon0
  adapter_up() { journal -u vb-adapter | grep -q "adapter lon0 up"; }
  if wait_for 10 adapter_up &&
     answer=$(inside timeout 20 veltraclient -p 5002 -n 1 -t 10 "00 03 01 02 03") &&
     grep -q "id=16 len=5 00 03 03 02 01" <<<"$answer" &&
     journal -u vb-adapter | grep -q "from the server: 00 03 01 02 03"; then
    pass "veltrabox@lon carries telegrams both ways on lon0 inside its sandbox"
  else
    echo "    client: ${answer:-nothing}"
    journal -u vb-adapter | tail -5 | sed 's/^/    adapter: /'
    fail "no telegrams through veltrabox@lon on lon0" veltrabox@lon
  fi
fi

# --- journalctl -p err: the error lines, not the debug ones.
errors=$(journal -u veltrabox@lon -p err)
everything=$(journal -u veltrabox@lon)
if grep -q "no network interface has this name" <<<"$errors" && ! grep -q "gestartet" <<<"$errors" &&
   grep -q "gestartet" <<<"$everything" && ! grep -qE "^<[0-7]>" <<<"$everything"; then
  pass "journalctl -p err shows the error lines and not the debug ones"
else
  printf '%s\n' "$everything" | tail -40 | sed 's/^/    journal: /'
  fail "journalctl -p err does not separate the error lines"
fi

# --- The watchdog leaves healthy servers alone for twice WatchdogSec.
watchdog_ms=$(milliseconds "$(prop veltrabox WatchdogUSec)")
if [ "$watchdog_ms" -le 0 ]; then
  fail "veltrabox.service has no WatchdogSec"
else
  rest=$((2 * watchdog_ms / 1000 + 2 - (SECONDS - healthy_since)))
  [ "$rest" -le 0 ] || { echo "waiting $rest s: twice WatchdogSec ($((watchdog_ms / 1000)) s) of running"; sleep "$rest"; }
  if has veltrabox MainPID "$main_pid" && has veltrabox NRestarts 0 &&
     has veltrabox@lon MainPID "$lon_pid" && has veltrabox@lon NRestarts 0 &&
     ! journal -u veltrabox -u veltrabox@lon | grep -q "Watchdog timeout"; then
    pass "the watchdog did not kill a healthy server in twice WatchdogSec"
  else
    fail "the watchdog killed a healthy server" veltrabox veltrabox@lon
  fi
fi

# --- SIGKILL: restarted (after RestartSec).
inside systemctl kill -s KILL --kill-whom=main veltrabox
restarted() { has veltrabox ActiveState active && ! has veltrabox MainPID "$main_pid" && has veltrabox NRestarts 1; }
if wait_for 40 restarted; then
  pass "SIGKILL is followed by a restart"
else
  fail "no restart after SIGKILL" veltrabox
fi

# --- systemctl stop, with a client served: exit status 0.
client vb-last -p 49152 -t 120
wait_for 10 status_matches "49152 connected" || true
if inside systemctl stop veltrabox && has veltrabox ActiveState inactive && has veltrabox ExecMainCode 1 &&
   has veltrabox ExecMainStatus 0; then
  pass "systemctl stop ends the server (with a client) with exit status 0"
else
  fail "systemctl stop: $(inside systemctl show -p ExecMainCode -p ExecMainStatus -p Result veltrabox | xargs)" veltrabox
fi
finish

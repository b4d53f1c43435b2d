#!/usr/bin/env bash
# soak.sh [BUILD_DIR]: 1,000 connect/transfer/disconnect cycles against one running server, to
# show that open descriptors, threads and resident memory stay flat.
#
# Two instances share the simulated channel LON1:. On port B a veltraclient stays connected
# and echoes every telegram. Each cycle connects a fresh veltraclient to port A, sends one
# numbered telegram, waits for its echo (a round trip through both instances), and
# disconnects, which restarts instance A. CYCLES overrides the count.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cycles=${CYCLES:-1000}
. bench/lib/server.sh

port_a=$(free_port)
port_b=$(free_port)
# Zones Default and Error: the restart lines tell when a cycle is over.
start_server "$build" 0x11 -p "$port_a" -i -p "$port_b"
wait_for_listener "$port_b"
"$build/veltraclient" -p "$port_b" -e </dev/null >/dev/null 2>"$work/echo.err" &
helper_pids=$!
wait_for_lines "LON und TCP erfolgreich gestartet." 1

sample() {
    printf '%-8s %8s %8s %10s\n' "$1" "$(open_fds)" "$(threads)" "$(rss_kib)"
}

retries=0
cycle() {
    local i=$1 telegram
    telegram=$(printf '00 03 %02X %02X %02X' $((i >> 16 & 255)) $((i >> 8 & 255)) $((i & 255)))
    # A cycle whose telegram does not come back is tried again, and counted.
    until "$build/veltraclient" -p "$port_a" -n 1 -t 10 "$telegram" 2>/dev/null |
        grep "id=16 len=5 $telegram\$" >/dev/null; do
        retries=$((retries + 1))
        [ $retries -le $cycles ] || { echo "too many failed cycles" >&2; exit 1; }
        sleep 0.01
    done
    # The server is back in accept once instance A has restarted after this cycle.
    wait_for_lines "Server wird neu gestartet." "$i"
}

echo "soak: $cycles cycles, server pid $server_pid"
printf '%-8s %8s %8s %10s\n' cycle fds threads rss_kib
start=$(date +%s.%N)
for i in $(seq 1 "$cycles"); do
    cycle "$i"
    if [ "$i" -eq 1 ] || [ "$i" -eq $((cycles / 2)) ] || [ "$i" -eq "$cycles" ]; then
        sample "$i"
    fi
done
end=$(date +%s.%N)
echo "cycles retried: $retries; $(awk -v s="$start" -v e="$end" -v n="$cycles" \
    'BEGIN {printf "%.1f s, %.1f ms per cycle", e - s, (e - s) * 1000 / n}')"
kill -0 "$server_pid"

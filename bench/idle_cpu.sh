#!/usr/bin/env bash
# idle_cpu.sh [BUILD_DIR]: what an idle server costs. One instance on the simulated interface
# with the default debug zones; first with no client (waiting in accept), then with a
# connected veltraclient that sends only its keep-alive. Prints the server's CPU time (user
# plus system, all threads) as percent of one CPU over SECONDS (default 30) each.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${SECONDS_PER_RUN:-30}
. bench/lib/server.sh

port=$(free_port)
start_server "$build" 0x10 -p "$port"
hz=$(getconf CLK_TCK)

measure() {
    local ticks ns
    ticks=$(cpu_ticks)
    ns=$(cpu_ns)
    sleep "$seconds"
    ticks=$(($(cpu_ticks) - ticks))
    ns=$(($(cpu_ns) - ns))
    awk -v ns="$ns" -v t="$ticks" -v hz="$hz" -v s="$seconds" -v what="$1" \
        'BEGIN {printf "%-40s %7.4f %% of one CPU (%.1f ms on CPU in %d s; %d ticks of 1/%d s)\n",
                what, ns / (s * 1e7), ns / 1e6, s, t, hz}'
}

wait_for_listener "$port"
measure "idle, no client:"
"$build/veltraclient" -p "$port" -t $((seconds + 10)) </dev/null >"$work/client.out" 2>&1 &
helper_pids=$!
sleep 3  # connected, first keep-alive sent
measure "idle, client sending keep-alive only:"
kill -0 "$helper_pids" || { echo "the client was dropped" >&2; cat "$work/client.out" >&2; exit 1; }

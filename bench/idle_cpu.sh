#!/usr/bin/env bash
# idle_cpu.sh [BUILD_DIR]: what an idle server costs. One instance on the simulated interface
# with the default debug zones; first with no client (waiting in accept), then with a
# connected veltraclient that sends only its keep-alive; plainly, and with the service
# manager's watchdog on. Prints the server's CPU time (user plus system, all threads) as
# percent of one CPU and its threads' wake-ups per second over SECONDS (default 30) each.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${SECONDS_PER_RUN:-30}
. bench/lib/server.sh

hz=$(getconf CLK_TCK)

measure() {
    local ticks ns switches
    ticks=$(cpu_ticks)
    ns=$(cpu_ns)
    switches=$(wakeups)
    sleep "$seconds"
    ticks=$(($(cpu_ticks) - ticks))
    ns=$(($(cpu_ns) - ns))
    switches=$(($(wakeups) - switches))
    awk -v ns="$ns" -v t="$ticks" -v hz="$hz" -v s="$seconds" -v w="$switches" -v what="$1" \
        'BEGIN {printf "%-52s %7.4f %% of one CPU (%.1f ms in %d s; %d ticks of 1/%d s), %.2f wake-ups/s\n",
                what, ns / (s * 1e7), ns / 1e6, s, t, hz, w / s}'
}

# One server: idle without a client, then with a client that sends only its keep-alive.
run() {
    local label=$1
    port=$(free_port)
    start_server "$build" 0x10 -p "$port"
    wait_for_listener "$port"
    measure "$label, no client:"
    "$build/veltraclient" -p "$port" -t $((seconds + 10)) </dev/null >"$work/client.out" 2>&1 &
    helper_pids=$!
    sleep 3  # connected, first keep-alive sent
    measure "$label, client sending keep-alive only:"
    kill -0 "$helper_pids" || { echo "the client was dropped" >&2; cat "$work/client.out" >&2; exit 1; }
    stop_server
    helper_pids=""
}

run "plain"
# As under the unit (WatchdogSec=30s): a ping every 15 s to a manager that is not there.
NOTIFY_SOCKET=@veltrabox-bench-$$ WATCHDOG_USEC=30000000 run "watchdog 30 s"
NOTIFY_SOCKET=@veltrabox-bench-$$ WATCHDOG_USEC=2000000 run "watchdog 2 s"

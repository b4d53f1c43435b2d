# Sourced by the whole-process benchmarks: starts one veltrabox in the background with its own
# registry file and log, and reads its figures from /proc.
#   start_server BUILD_DIR ZONES ARGS...   sets $server_pid, $work (temp dir), $log

start_server() {
    local build=$1 zones=$2
    shift 2
    work=$(mktemp -d /tmp/veltrabox-bench-XXXXXX)
    log=$work/server.log
    printf '[HKEY_LOCAL_MACHINE\\DebugZones]\n"Quorvel"=dword:%08x\n' "$zones" >"$work/registry.reg"
    # More registry text from the caller, e.g. the MQTT key.
    [ -z "${registry_extra:-}" ] || printf '%s\n' "$registry_extra" >>"$work/registry.reg"
    VELTRABOX_REGISTRY=$work/registry.reg "$build/veltrabox" "$@" 2>"$log" </dev/null >/dev/null &
    server_pid=$!
    trap stop_server EXIT
}

stop_server() {
    local pid
    for pid in ${helper_pids:-}; do kill "$pid" 2>/dev/null || true; done
    kill "$server_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}

# A free TCP port: one no socket on this machine is bound to.
free_port() {
    local port
    for port in $(shuf -i 20000-60000 -n 50); do
        if ! ss -Htan "( sport = :$port )" | grep -q .; then echo "$port"; return; fi
    done
    return 1
}

# Waits (at most 20 s) until the log holds at least N lines containing TEXT.
wait_for_lines() {
    local text=$1 count=$2 i
    for i in $(seq 2000); do
        [ "$(grep -c -- "$text" "$log" || true)" -ge "$count" ] && return 0
        kill -0 "$server_pid" 2>/dev/null || { echo "server ended" >&2; return 1; }
        sleep 0.01
    done
    echo "timed out waiting for '$text' x$count" >&2
    tail -20 "$log" >&2
    return 1
}

# Waits (at most 20 s) until something listens on PORT.
wait_for_listener() {
    local port=$1 i
    for i in $(seq 2000); do
        ss -Hltn "( sport = :$port )" | grep -q . && return 0
        sleep 0.01
    done
    echo "nothing listens on port $port" >&2
    return 1
}

open_fds() { ls "/proc/$server_pid/fd" | wc -l; }
threads() { awk '/^Threads:/ {print $2}' "/proc/$server_pid/status"; }
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$server_pid/status"; }
# User plus system CPU time of the whole process, in clock ticks.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$server_pid/stat"; }
# CPU time of the process's live threads in nanoseconds (the scheduler's own count, finer
# than the ticks; threads that have ended are not in it).
cpu_ns() { cat /proc/"$server_pid"/task/*/schedstat | awk '{ns += $1} END {print ns}'; }
# Context switches of the process's live threads so far: each wake-up of a sleeping thread is
# one voluntary switch (the thread went to sleep again), so their growth counts wake-ups.
wakeups() {
    cat /proc/"$server_pid"/task/*/status |
        awk '/^(voluntary|nonvoluntary)_ctxt_switches:/ {n += $2} END {print n}'
}

#!/usr/bin/env bash
# mqtt.sh [BUILD_DIR]: what publishing telegrams on MQTT costs the server. Two instances on the
# simulated channel, a client on each: TELEGRAMS (default 100000) network-variable updates go
# from client A through instance A to the bus and through instance B to client B, in chunks
# that the channel takes without dropping. Run without MQTT, with MQTT state and status only,
# and with every telegram published (twice: to_bus of A, from_bus of B) to a mosquitto of the
# benchmark's own that a subscriber reads. Prints the server's CPU time (user plus system, all
# threads) per telegram.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
count=${TELEGRAMS:-100000}
chunk=${CHUNK:-200}
. bench/lib/server.sh

mosquitto=/usr/sbin/mosquitto
if [ ! -x "$mosquitto" ] || ! command -v mosquitto_sub >/dev/null; then
  echo "mqtt: skipped, mosquitto and mosquitto-clients are missing"
  exit 0
fi
hz=$(getconf CLK_TCK)
scratch=$(mktemp -d /tmp/veltrabox-mqtt-bench-XXXXXX)
broker_port=$(free_port)
printf 'persistence false\nlistener %s 127.0.0.1\nallow_anonymous true\n' "$broker_port" \
  >"$scratch/mosquitto.conf"
# Not children of this shell: stop_server waits for all of those.
("$mosquitto" -c "$scratch/mosquitto.conf" 2>"$scratch/broker.log" & echo $! >"$scratch/broker.pid")
sleep 1
(mosquitto_sub -p "$broker_port" -t 'bench/#' >/dev/null & echo $! >"$scratch/subscriber.pid")
cleanup_broker() {
  kill "$(cat "$scratch/subscriber.pid")" "$(cat "$scratch/broker.pid")" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup_broker EXIT

awk -v n="$count" 'BEGIN { for (i = 0; i < n; i++)
  printf "12 12 00 00 04 01 0C 00 00 01 00 00 00 00 00 00 80 23 %02X %02X\n", int(i / 256) % 256, i % 256 }' \
  >"$scratch/telegrams.txt"

status() { "$build/veltraclient" -S -j "$VELTRABOX_STATUS_SOCKET"; }
# A counter of the instance on port $1 from the status socket.
counter() { status | grep "\"port\":$1," | sed -n "s/.*\"$2\":\([0-9]*\).*/\1/p"; }

run() {
  local label=$1 mqtt=$2 a b sender before ticks delivered dropped
  a=$(free_port)
  b=$(free_port)
  export VELTRABOX_STATUS_SOCKET=$scratch/status-$a.sock
  registry_extra=$mqtt start_server "$build" 0x10 -p "$a" -i -p "$b"
  trap 'stop_server; cleanup_broker' EXIT
  wait_for_listener "$a"
  wait_for_listener "$b"
  "$build/veltraclient" -p "$b" -t 600 >/dev/null &
  helper_pids=$!
  mkfifo "$work/to_a"
  "$build/veltraclient" -p "$a" -t 600 - <"$work/to_a" >/dev/null &
  sender=$!
  helper_pids="$helper_pids $sender"
  exec 3>"$work/to_a"
  until status | grep -q "\"port\":$a,.*connected" &&
        status | grep -q "\"port\":$b,.*connected"; do sleep 0.1; done
  before=$(cpu_ticks)
  for ((sent = chunk; sent <= count; sent += chunk)); do
    sed -n "$((sent - chunk + 1)),${sent}p" "$scratch/telegrams.txt" >&3
    until [ "$(counter "$b" to_client)" -ge "$sent" ]; do sleep 0.005; done
  done
  ticks=$(($(cpu_ticks) - before))
  exec 3>&-
  delivered=$(counter "$b" to_client)
  dropped=$(($(counter "$a" mqtt_dropped) + $(counter "$b" mqtt_dropped)))
  awk -v t="$ticks" -v hz="$hz" -v n="$delivered" -v d="$dropped" -v what="$label" \
    'BEGIN {printf "%-40s %8.2f us CPU per telegram (%d telegrams, %.2f s CPU, %d MQTT copies dropped)\n",
            what, t / hz * 1e6 / n, n, t / hz, d}'
  stop_server
  helper_pids=""
}

key="[HKEY_LOCAL_MACHINE\\Quorvel\\Mqtt]
\"Broker\"=\"mqtt://127.0.0.1:$broker_port\"
\"TopicPrefix\"=\"bench/gw\""
run "MQTT off:" ""
run "MQTT state and status only:" "$key"
run "MQTT with every telegram (x2):" "$key
\"Telegrams\"=dword:1"
cleanup_broker
trap - EXIT

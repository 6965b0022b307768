#!/bin/sh
# Usage: bench/run-bench.sh <release build directory> [--silent Q] [--server-cpus LIST] <N>...
#
# For each N: a fresh server (from that build) in a temporary directory with
# ceil(N / 10) voice channels seeded, then korrafin_bench with N clients (and
# Q silent sockets attached beside them, 0 without the option); prints one
# table. With --server-cpus the server runs on those cores only (taskset
# list, e.g. 0,1); the load tool runs anywhere. Everything runs in a network
# namespace of its own where only loopback is up, so no traffic can leave the
# machine.
set -eu
build=$(cd "$1" && pwd)
shift
silent=0
cpus=
while [ $# -gt 1 ]; do
    case $1 in
        --silent) silent=$2; shift 2 ;;
        --server-cpus) cpus=$2; shift 2 ;;
        *) break ;;
    esac
done
exec unshare --net sh -s "$build" "$silent" "$cpus" "$@" <<'INNER'
set -eu
ip link set lo up
server=
# Never leave a server behind, whatever ends this script.
trap '[ -z "$server" ] || { kill -TERM $server 2>/dev/null; wait $server 2>/dev/null; }' EXIT
build=$1
silent=$2
cpus=$3
shift 3
pin=
[ -z "$cpus" ] || pin="taskset -c $cpus"
ulimit -n 65536 2>/dev/null || true
echo "| N | silent | logins/s | chat deliveries/s | chat p50 ms | chat p99 ms | voice in/s | voice out/s | voice loss | voice p50 ms | voice p99 ms |"
echo "|---|---|---|---|---|---|---|---|---|---|---|"
for n in "$@"; do
    dir=$(mktemp -d)
    mkdir -p "$dir/data"
    "$build/korrafin_bench" seed "$dir/data/server.db" $(( (n + 9) / 10 )) >/dev/null
    cat > "$dir/server.json" <<JSON
{"server": {"tcpPort": 9987, "udpPort": 9988, "logFile": "", "logLevel": "warn",
            "dbPath": "./data/server.db", "webPanel": {"enabled": false}},
 "globalApi": {"listed": false},
 "virtualServers": [{"id": 1, "name": "Bench", "maxSlots": 100000}]}
JSON
    (cd "$dir" && exec $pin "$build/korrafin" server.json >"$dir/out.txt" 2>&1) &
    server=$!
    "$build/korrafin_bench" wait 9987 || { echo "server did not start" >&2; cat "$dir/out.txt" >&2; exit 1; }
    "$build/korrafin_bench" run --port 9987 --udp-port 9988 --clients "$n" --silent "$silent" ||
        echo "| $n | $silent | failed |"
    kill -TERM $server
    wait $server || true
    server=
    rm -rf "$dir"
done
INNER

#!/bin/sh
# Usage: bench/run-bench.sh <release build directory> [--silent Q] [--server-cpus LIST] <N>...
#        bench/run-bench.sh <release build directory> --storm <N>...
#        bench/run-bench.sh <release build directory> --churn [<seconds>]
#
# For each N: a fresh server (from that build) in a temporary directory with
# ceil(N / 10) voice channels seeded, then korrafin_bench with N clients (and
# Q silent sockets attached beside them, 0 without the option); prints one
# table. With --server-cpus the server runs on those cores only (taskset
# list, e.g. 0,1); the load tool runs anywhere. Everything runs in a network
# namespace of its own where only loopback is up, so no traffic can leave the
# machine.
#
# --storm: the same servers, and korrafin_bench storm with N clients (log in
# and join channels of 10). --churn: the time one list holds the move lock
# (in the tool's process), then one server with 80 channels whose
# descriptions have 3000 bytes and 64 slots, and korrafin_bench churn for the
# given seconds a phase (30), with the server's count of "Send buffer full"
# and "server full" disconnects.
set -eu
build=$(cd "$1" && pwd)
shift
silent=0
cpus=
mode=run
while [ $# -gt 0 ]; do
    case $1 in
        --silent) silent=$2; shift 2 ;;
        --server-cpus) cpus=$2; shift 2 ;;
        --storm) mode=storm; shift ;;
        --churn) mode=churn; shift ;;
        *) break ;;
    esac
done
exec unshare --net sh -s "$build" "$silent" "$cpus" "$mode" "$@" <<'INNER'
set -eu
ip link set lo up
server=
# Never leave a server behind, whatever ends this script.
trap '[ -z "$server" ] || { kill -TERM $server 2>/dev/null; wait $server 2>/dev/null; }' EXIT
build=$1
silent=$2
cpus=$3
mode=$4
shift 4
pin=
[ -z "$cpus" ] || pin="taskset -c $cpus"
ulimit -n 65536 2>/dev/null || true

# serve <dir> <channels> <description bytes> <max slots> <log level>
serve() {
    mkdir -p "$1/data"
    "$build/korrafin_bench" seed "$1/data/server.db" "$2" "$3" >/dev/null
    cat > "$1/server.json" <<JSON
{"server": {"tcpPort": 9987, "udpPort": 9988, "logFile": "", "logLevel": "$5",
            "dbPath": "./data/server.db", "webPanel": {"enabled": false}},
 "globalApi": {"listed": false},
 "virtualServers": [{"id": 1, "name": "Bench", "maxSlots": $4}]}
JSON
    (cd "$1" && exec $pin "$build/korrafin" server.json >"$1/out.txt" 2>&1) &
    server=$!
    "$build/korrafin_bench" wait 9987 || { echo "server did not start" >&2; cat "$1/out.txt" >&2; exit 1; }
}

unserve() {
    kill -TERM $server
    wait $server || true
    server=
}

case $mode in
churn)
    seconds=${1:-30}
    echo "| channels | description bytes | list | p50 µs | p99 µs |"
    echo "|---|---|---|---|---|"
    "$build/korrafin_bench" list --channels 80 --description 3000
    dir=$(mktemp -d)
    serve "$dir" 80 3000 64 info
    echo
    echo "| one guest | guest logins/s | list | lists/s to a member | MB/s to a prompt member | MB/s to a member at 1 MB/s | that member | its last list current |"
    echo "|---|---|---|---|---|---|---|---|"
    "$build/korrafin_bench" churn --port 9987 --seconds "$seconds" | {
        read -r first
        echo "$first"
        echo
        echo "| 24 churners | logins/s | fresh logins | refused | failed | p50 ms | max ms | prompt members dropped | lists/s to a prompt member | KB a churner reads per login |"
        echo "|---|---|---|---|---|---|---|---|---|---|"
        cat
    } || echo "| churn | failed |"
    unserve
    echo
    echo "Server log: $(grep -c 'Send buffer full' "$dir/out.txt" || true) \"Send buffer full\", $(grep -c 'server full' "$dir/out.txt" || true) \"server full\""
    rm -rf "$dir"
    ;;
storm)
    echo "| N | channels | seconds | logins/s | logins out of order |"
    echo "|---|---|---|---|---|"
    for n in "$@"; do
        dir=$(mktemp -d)
        serve "$dir" $(( (n + 9) / 10 )) 0 100000 warn
        "$build/korrafin_bench" storm --port 9987 --clients "$n" || echo "| $n | failed |"
        unserve
        rm -rf "$dir"
    done
    ;;
*)
    echo "| N | silent | logins/s | chat deliveries/s | chat p50 ms | chat p99 ms | voice in/s | voice out/s | voice loss | voice p50 ms | voice p99 ms |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|"
    for n in "$@"; do
        dir=$(mktemp -d)
        serve "$dir" $(( (n + 9) / 10 )) 0 100000 warn
        "$build/korrafin_bench" run --port 9987 --udp-port 9988 --clients "$n" --silent "$silent" ||
            echo "| $n | $silent | failed |"
        unserve
        rm -rf "$dir"
    done
    ;;
esac
INNER

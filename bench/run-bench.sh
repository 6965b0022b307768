#!/bin/sh
# Usage: bench/run-bench.sh <release build directory> [--silent Q] [--server-cpus LIST] <N>...
#        bench/run-bench.sh <release build directory> --storm <N>...
#        bench/run-bench.sh <release build directory> --churn [<seconds>]
#        bench/run-bench.sh <release build directory> --announce [--channels C] [<N>...]
# Any mode also takes --server EXE: that server binary instead of the
# build's own (another tree's, to compare), driven by this build's tool.
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
# and "server full" disconnects. --announce: for each N (1200), a fresh
# server with 3 admin identities seeded, and korrafin_bench announce with N
# idle clients while an admin creates C channels (300) and two others ask
# for or store the content of each new channel as soon as a list shows it.
set -eu
build=$(cd "$1" && pwd)
shift
silent=0
cpus=
mode=run
binary=$build/korrafin
channels=300
while [ $# -gt 0 ]; do
    case $1 in
        --silent) silent=$2; shift 2 ;;
        --server-cpus) cpus=$2; shift 2 ;;
        --server) binary=$(realpath -m "$2"); shift 2 ;;
        --channels) channels=$2; shift 2 ;;
        --storm) mode=storm; shift ;;
        --churn) mode=churn; shift ;;
        --announce) mode=announce; shift ;;
        *) break ;;
    esac
done
[ -x "$binary" ] || { echo "no server binary at $binary" >&2; exit 1; }
exec unshare --net sh -s "$build" "$silent" "$cpus" "$mode" "$binary" "$channels" "$@" <<'INNER'
set -eu
ip link set lo up
server=
# Never leave a server behind, whatever ends this script.
trap '[ -z "$server" ] || { kill -TERM $server 2>/dev/null; wait $server 2>/dev/null; }' EXIT
build=$1
silent=$2
cpus=$3
mode=$4
binary=$5
channels=$6
shift 6
pin=
[ -z "$cpus" ] || pin="taskset -c $cpus"
ulimit -n 65536 2>/dev/null || true

# serve <dir> <channels> <description bytes> <max slots> <log level> [<admins>]
serve() {
    mkdir -p "$1/data"
    "$build/korrafin_bench" seed "$1/data/server.db" "$2" "$3" "${6:-0}" >/dev/null
    cat > "$1/server.json" <<JSON
{"server": {"tcpPort": 9987, "udpPort": 9988, "logFile": "", "logLevel": "$5",
            "dbPath": "./data/server.db", "webPanel": {"enabled": false}},
 "globalApi": {"listed": false},
 "virtualServers": [{"id": 1, "name": "Bench", "maxSlots": $4}]}
JSON
    (cd "$1" && exec $pin "$binary" server.json >"$1/out.txt" 2>&1) &
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
announce)
    [ $# -gt 0 ] || set -- 1200
    echo "| idle clients | channels | creations s | gets unanswered (admin 2 + 3 of all) | texts not stored (admin 2 + 3 of all) | lobby gets/s | lobby gets unanswered | idle dropped |"
    echo "|---|---|---|---|---|---|---|---|"
    for n in "$@"; do
        dir=$(mktemp -d)
        serve "$dir" 0 0 100000 warn 3
        "$build/korrafin_bench" announce --port 9987 --clients "$n" --channels "$channels" ||
            echo "| $n | $channels | failed |"
        unserve
        rm -rf "$dir"
    done
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

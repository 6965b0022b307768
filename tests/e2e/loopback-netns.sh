#!/bin/sh
# Runs a test binary in a network namespace of its own in which only the
# loopback interface is up, so that neither the test nor the server it starts
# can reach any other host. Children inherit the namespace.
set -e
if unshare --net true 2>/dev/null; then
    exec unshare --net sh -c 'ip link set lo up && exec "$@"' sh "$@"
fi
exec unshare --user --map-root-user --net sh -c 'ip link set lo up && exec "$@"' sh "$@"

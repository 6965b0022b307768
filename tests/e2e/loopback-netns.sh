#!/bin/sh
# Runs a test binary in a network namespace of its own in which only the
# loopback interface is up, so that neither the test nor the server it starts
# can reach any other host. Children inherit the namespace.
#
#   loopback-netns.sh [--host NAME]... COMMAND [ARGS...]
#
# With --host, the command also gets a mount namespace of its own in which
#  - /etc/hosts maps every NAME to 127.0.0.1, and
#  - the system CA bundle is a throw-away CA made here, now,
# so that an HTTPS client with verification on reaches a local fake under the
# real names and trusts it, and nothing leaves the machine. The directory
# $KORRAFIN_TEST_PKI then holds, for the fake to present:
#   ca.pem                          the CA now trusted
#   server.pem, server.key          for every NAME, signed by that CA
#   wrong-host.pem, wrong-host.key  for a name not asked for, signed by that CA
#   untrusted.pem, untrusted.key    for every NAME, signed by a CA nobody trusts
# It is removed when the command ends.
#
# As root the namespaces are made directly; otherwise inside a user namespace
# in which the caller is root.
set -e

if [ "$1" != "--inside-namespace" ]; then
    hosts=""
    while [ "$1" = "--host" ]; do
        hosts="$hosts $2"
        shift 2
    done
    flags="--net"
    [ -n "$hosts" ] && flags="--net --mount"
    if unshare $flags true 2>/dev/null; then
        exec unshare $flags sh "$0" --inside-namespace "$hosts" "$@"
    fi
    exec unshare --user --map-root-user $flags sh "$0" --inside-namespace "$hosts" "$@"
fi

hosts=$2
shift 2
ip link set lo up
if [ -z "$hosts" ]; then
    exec "$@"
fi

# unshare leaves the new mount namespace private: nothing below is seen
# outside it, and it all goes with the namespace.
workdir=$(pwd)
pki=$(mktemp -d "${TMPDIR:-/tmp}/korrafin-pki-XXXXXX")
trap 'rm -rf "$pki"' EXIT
cd "$pki"

# A certificate for $2 (comma-separated DNS names) as $1.pem/$1.key, signed by
# the CA $3.
issue() {
    san=""
    for n in $(echo "$2" | tr ',' ' '); do
        san="${san:+$san,}DNS:$n"
    done
    printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$san" >"$1.ext"
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
        -keyout "$1.key" -out "$1.csr" -subj "/CN=${2%%,*}" 2>/dev/null
    openssl x509 -req -in "$1.csr" -CA "$3.pem" -CAkey "$3.key" -CAcreateserial \
        -days 2 -extfile "$1.ext" -out "$1.pem" 2>/dev/null
}
# A self-signed CA as $1.pem/$1.key.
make_ca() {
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
        -keyout "$1.key" -out "$1.pem" -days 2 -subj "/CN=$2" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
}

names=$(echo $hosts | tr ' ' ',')
make_ca ca "Korrafin throw-away test CA"
make_ca stranger "Korrafin untrusted test CA"
issue server "$names" ca
issue wrong-host "elsewhere.invalid" ca
issue untrusted "$names" stranger

{
    echo "127.0.0.1 localhost"
    echo "::1 localhost"
    echo "127.0.0.1 $hosts"
} >hosts
chmod 644 hosts ca.pem
mount --bind "$pki/hosts" /etc/hosts
mount --bind "$pki/ca.pem" /etc/ssl/certs/ca-certificates.crt

cd "$workdir"
export KORRAFIN_TEST_PKI="$pki"
# Not exec: the directory is removed when the command ends.
status=0
"$@" || status=$?
exit $status

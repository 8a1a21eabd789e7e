#!/usr/bin/env bash
# The demo tour: what each component does, run with the kvinet tool against local test servers that this
# script starts (tests/servers/kvservers.py) and stops again.
set -euo pipefail
: "${ROOT:?}" "${BIN:?}"

if [ -z "${KV_DEMO_INSIDE:-}" ]; then
    dir=$(mktemp -d /tmp/kvinet-demo.XXXXXX)
    chmod 755 "$dir"
    trap 'rm -rf "$dir"' EXIT
    echo "Starting the local test servers in $dir ..."
    KV_DEMO_INSIDE=1 /usr/bin/python3 "$ROOT/tests/servers/kvservers.py" run all --dir "$dir" -- bash "$0"
    exit $?
fi

kv="$BIN/kvinet"
step() {
    printf '\n\033[1m$ kvinet %s\033[0m\n' "$*"
    local rc=0
    "$kv" "$@" || rc=$?
    [ $rc -eq 0 ] || echo "(exit status $rc)"
}

echo "KvInet demo: the components, one command each."
step about
step util base64 'user:secret'
step util utf8-decode C3A9E282ACF09F9880
step util html-decode '&lt;b&gt;bold&lt;/b&gt; &copy; 2026'
step util content-type report.pdf
step util column 'a,b,,d' 3 ,

# Time clients: xinetd's daytime service and chrony (servers' env: KV_DAYTIME_PORT, KV_NTP_PORT).
step daytime --host 127.0.0.1 --port "$KV_DAYTIME_PORT"
step sntp --host 127.0.0.1 --port "$KV_NTP_PORT"
# DNS resolver against dnsmasq over TCP (KV_DNS_PORT): records, two types at once, a reverse lookup, a miss.
step dns www.test.example --host 127.0.0.1 --port "$KV_DNS_PORT" --type A,AAAA
step dns test.example --host 127.0.0.1 --port "$KV_DNS_PORT" --type MX,SOA
step dns txt.test.example --host 127.0.0.1 --port "$KV_DNS_PORT" --type TXT
step dns 192.0.2.10 --host 127.0.0.1 --port "$KV_DNS_PORT" --type PTR
step dns nothing.test.example --host 127.0.0.1 --port "$KV_DNS_PORT"

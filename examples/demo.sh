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

# Web updater: download, then a second run finds the copy current; a missing file leaves it alone.
upd_dir=$(mktemp -d)
step update "http://127.0.0.1:$KV_NGINX_PORT/index.html" "$upd_dir/index.html"
step update "http://127.0.0.1:$KV_NGINX_PORT/index.html" "$upd_dir/index.html"
step update "https://localhost:$KV_NGINX_TLS_PORT/index.html" "$upd_dir/secure.html" --cafile "$KV_CA_FILE"
step update "ftp://127.0.0.1:$KV_FTP_PORT/pub/hello.txt" "$upd_dir/hello.txt"
step update "http://127.0.0.1:$KV_NGINX_PORT/no-such-file" "$upd_dir/index.html"
rm -rf "$upd_dir"

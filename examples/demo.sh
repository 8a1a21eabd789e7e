#!/usr/bin/env bash
# The demo tour: what each component does, run with the kvinet tool against local test servers.
set -euo pipefail
kv="$BIN/kvinet"
step() { printf '\n\033[1m$ kvinet %s\033[0m\n' "$*"; "$kv" "$@" || echo "(exit $?)"; }

echo "KvInet demo: the components, one command each."
step about
step util base64 'user:secret'
step util utf8-decode C3A9E282ACF09F9880
step util html-decode 'Fish &amp; Chips &lt;today&gt;'
step util content-type report.pdf
step util column 'a,b,,d' 3 ,

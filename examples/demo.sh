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

# Mail: STARTTLS with the test CA, AUTH LOGIN, a body with a lone dot, an attachment; then what the server
# stored, and a refused recipient.
body=$(mktemp)
printf 'Hello Bob,\n.\nthe line above holds a single dot and arrives intact.\n' > "$body"
step smtp --host localhost --port "$KV_SMTP_AUTH_PORT" --tls starttls --cafile "$KV_CA_FILE" \
    --user "$KV_SMTP_USER" --password "$KV_SMTP_PASSWORD" --from 'Ann Sender <ann@example.com>' \
    --to 'Bob <bob@example.com>' --cc carol@example.com --bcc audit@example.com \
    --subject 'Grüße from KvInet' --body-file "$body" --attach "$ROOT/README.md"
rm -f "$body"
stored=$(ls "$KV_SMTP_SPOOL"/*.eml 2>/dev/null | tail -1)
if [ -n "$stored" ]; then
    echo "The server stored $(basename "$stored"); its header:"
    sed -n '1,/^\r$/p' "$stored" | tr -d '\r'
fi
step smtp --host localhost --port "$KV_SMTP_PORT" --from ann@example.com --to reject-me@example.com \
    --subject 'Refused'

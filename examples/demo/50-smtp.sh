# Demo tour, kvinet smtp: sourced in order by examples/demo.sh, which defines "step" and has started
# the servers (their settings in KV_* variables; a script skips what is not running).
# Mail: STARTTLS with the test CA, AUTH LOGIN, a body with a lone dot, an attachment; then what the server
# stored, and a refused recipient.
if [ -n "${KV_SMTP_PORT:-}" ]; then
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
fi

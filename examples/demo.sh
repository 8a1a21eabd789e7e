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

# Socket clients (servers from tests/servers: nginx, squid, scripted; their env keys exported).
if [ -n "${KV_SCRIPTED_DIR:-}" ]; then
    # The scripted server plays a whois server: it reads the query and answers a canned record.
    cat > "$KV_SCRIPTED_DIR/script.json" <<'JSON'
{"steps": [{"read_until": "\r\n\r\n"},
           {"send": "   Domain Name: EXAMPLE.COM\r\n   Registrar: Demo Registrar\r\n   Name Server: A.IANA-SERVERS.NET\r\n>>> Last update of whois database <<<\r\n", "blocks": 2}]}
JSON
    step whois example.com --host 127.0.0.1 --port "$KV_SCRIPTED_PORT" --verbose
fi
if [ -n "${KV_NGINX_PORT:-}" ]; then
    step http "http://127.0.0.1:$KV_NGINX_PORT/index.html" --verbose
    step http "http://127.0.0.1:$KV_NGINX_PORT/" --method head --keep-headers
    step http "http://127.0.0.1:$KV_NGINX_PORT/redirect" --follow
    step http "http://127.0.0.1:$KV_NGINX_PORT/no-such-page"
    if [ -n "${KV_SQUID_PORT:-}" ]; then
        step http "http://127.0.0.1:$KV_NGINX_PORT/index.html" --proxy "127.0.0.1:$KV_SQUID_PORT" </dev/null
        step http "http://127.0.0.1:$KV_NGINX_PORT/index.html" --proxy "127.0.0.1:$KV_SQUID_PORT" \
            --proxy-user "$KV_SQUID_USER" --proxy-password "$KV_SQUID_PASSWORD"
    fi
fi

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
# Time clients: xinetd's daytime service and chrony.
if [ -n "${KV_DAYTIME_PORT:-}" ]; then
    step daytime --host 127.0.0.1 --port "$KV_DAYTIME_PORT"
fi
if [ -n "${KV_NTP_PORT:-}" ]; then
    step sntp --host 127.0.0.1 --port "$KV_NTP_PORT"
fi
# DNS resolver against dnsmasq over TCP: records, two types at once, a reverse lookup, a miss.
if [ -n "${KV_DNS_PORT:-}" ]; then
    step dns www.test.example --host 127.0.0.1 --port "$KV_DNS_PORT" --type A,AAAA
    step dns test.example --host 127.0.0.1 --port "$KV_DNS_PORT" --type MX,SOA
    step dns txt.test.example --host 127.0.0.1 --port "$KV_DNS_PORT" --type TXT
    step dns 192.0.2.10 --host 127.0.0.1 --port "$KV_DNS_PORT" --type PTR
    step dns nothing.test.example --host 127.0.0.1 --port "$KV_DNS_PORT"
fi

# The XML engine on a small feed: the tree, then one subtree found by name.
xml_dir=$(mktemp -d)
xml_doc="$xml_dir/feed.xml"
printf '%s\n' '<?xml version="1.0" encoding="utf-8"?>' \
    '<rss version="2.0"><channel><title>Fish &amp; Chips</title><!-- daily -->' \
    '<item id="1"><title>Café opens</title><link>http://example.com/1</link></item>' \
    '<item id="2"><title>3 &lt; 4</title><link>http://example.com/2</link></item></channel></rss>' >"$xml_doc"
step xml "$xml_doc"
step xml "$xml_doc" --find item
rm -rf "$xml_dir"
# Web updater: a download, then a second run finds the copy current; HTTPS with the test CA, FTP, and a
# missing file that leaves the local copy alone.
if [ -n "${KV_NGINX_PORT:-}" ]; then
    upd_dir=$(mktemp -d)
    step update "http://127.0.0.1:$KV_NGINX_PORT/index.html" "$upd_dir/index.html"
    step update "http://127.0.0.1:$KV_NGINX_PORT/index.html" "$upd_dir/index.html"
    step update "https://localhost:$KV_NGINX_TLS_PORT/index.html" "$upd_dir/secure.html" --cafile "$KV_CA_FILE"
    if [ -n "${KV_FTP_PORT:-}" ]; then
        step update "ftp://127.0.0.1:$KV_FTP_PORT/pub/hello.txt" "$upd_dir/hello.txt"
    fi
    step update "http://127.0.0.1:$KV_NGINX_PORT/no-such-file" "$upd_dir/index.html"
    rm -rf "$upd_dir"
fi

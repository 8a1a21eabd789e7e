# Demo tour, kvinet whois: sourced in order by examples/demo.sh, which defines "step" and has started
# the servers (their settings in KV_* variables; a script skips what is not running).
# The whois client against the scripted server.
if [ -n "${KV_SCRIPTED_DIR:-}" ]; then
    # The scripted server plays a whois server: it reads the query and answers a canned record.
    cat > "$KV_SCRIPTED_DIR/script.json" <<'JSON'
{"steps": [{"read_until": "\r\n\r\n"},
           {"send": "   Domain Name: EXAMPLE.COM\r\n   Registrar: Demo Registrar\r\n   Name Server: A.IANA-SERVERS.NET\r\n>>> Last update of whois database <<<\r\n", "blocks": 2}]}
JSON
    step whois example.com --host 127.0.0.1 --port "$KV_SCRIPTED_PORT" --verbose
fi

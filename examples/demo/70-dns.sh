# Demo tour, kvinet dns: sourced in order by examples/demo.sh, which defines "step" and has started
# the servers (their settings in KV_* variables; a script skips what is not running).
# DNS resolver against dnsmasq over TCP: records, two types at once, a reverse lookup, a miss.
if [ -n "${KV_DNS_PORT:-}" ]; then
    step dns www.test.example --host 127.0.0.1 --port "$KV_DNS_PORT" --type A,AAAA
    step dns test.example --host 127.0.0.1 --port "$KV_DNS_PORT" --type MX,SOA
    step dns txt.test.example --host 127.0.0.1 --port "$KV_DNS_PORT" --type TXT
    step dns 192.0.2.10 --host 127.0.0.1 --port "$KV_DNS_PORT" --type PTR
    step dns nothing.test.example --host 127.0.0.1 --port "$KV_DNS_PORT"
fi

# Demo tour, kvinet sntp: sourced in order by examples/demo.sh, which defines "step" and has started
# the servers (their settings in KV_* variables; a script skips what is not running).
# The SNTP client against chrony.
if [ -n "${KV_NTP_PORT:-}" ]; then
    step sntp --host 127.0.0.1 --port "$KV_NTP_PORT"
fi

# Demo tour, kvinet daytime: sourced in order by examples/demo.sh, which defines "step" and has started
# the servers (their settings in KV_* variables; a script skips what is not running).
# The daytime client against xinetd.
if [ -n "${KV_DAYTIME_PORT:-}" ]; then
    step daytime --host 127.0.0.1 --port "$KV_DAYTIME_PORT"
fi

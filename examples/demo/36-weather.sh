# Demo tour, kvinet weather: sourced in order by examples/demo.sh, which defines "step" and has started
# the servers (their settings in KV_* variables; a script skips what is not running).
# The weather client against a local page of our own making served by nginx, directly and through squid.
if [ -n "${KV_NGINX_PORT:-}" ]; then
    mkdir -p "$KV_NGINX_ROOT/weather/local"
    printf '<html><body><table><tr><td CLASS=obsTempTextA>-7&deg;F</td></tr></table></body></html>\n' \
        > "$KV_NGINX_ROOT/weather/local/10001"
    chmod 755 "$KV_NGINX_ROOT/weather" "$KV_NGINX_ROOT/weather/local"
    chmod 644 "$KV_NGINX_ROOT/weather/local/10001"
    step weather 10001 --host 127.0.0.1 --port "$KV_NGINX_PORT"
    if [ -n "${KV_SQUID_PORT:-}" ]; then
        step weather 10001 --host 127.0.0.1 --port "$KV_NGINX_PORT" --proxy "127.0.0.1:$KV_SQUID_PORT" \
            --proxy-user "$KV_SQUID_USER" --proxy-password "$KV_SQUID_PASSWORD"
    fi
    # A postal code the site has no page for: nginx answers 404, the tool exits 1.
    step weather 99999 --host 127.0.0.1 --port "$KV_NGINX_PORT"
fi

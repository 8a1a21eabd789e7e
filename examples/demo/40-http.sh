# Demo tour, kvinet http: sourced in order by examples/demo.sh, which defines "step" and has started
# the servers (their settings in KV_* variables; a script skips what is not running).
# The HTTP client against nginx, directly and through squid.
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

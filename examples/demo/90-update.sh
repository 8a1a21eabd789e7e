# Demo tour, kvinet update: sourced in order by examples/demo.sh, which defines "step" and has started
# the servers (their settings in KV_* variables; a script skips what is not running).
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
    # Through squid, which wants credentials; the whole run limited to a minute.
    if [ -n "${KV_SQUID_PORT:-}" ]; then
        step update "http://127.0.0.1:$KV_NGINX_PORT/index.html" "$upd_dir/proxied.html" \
            --proxy "127.0.0.1:$KV_SQUID_PORT" --proxy-user "$KV_SQUID_USER" --proxy-password "$KV_SQUID_PASSWORD" \
            --max-time 60 --verbose
    fi
    # A page made on demand: no Content-Length, the body ends with the connection. Fetched on the first
    # run; a second run compares by time alone.
    if [ -n "${KV_SCRIPTED_DIR:-}" ]; then
        cat > "$KV_SCRIPTED_DIR/script.json" <<'JSON'
{"steps": [{"read_until": "\r\n\r\n"},
           {"send": "HTTP/1.0 200 OK\r\nLast-Modified: Tue, 05 Mar 2024 10:20:30 GMT\r\n\r\n<rss><channel><title>Demo</title></channel></rss>\n"}]}
JSON
        step update "http://127.0.0.1:$KV_SCRIPTED_PORT/feed.xml" "$upd_dir/feed.xml"
        step update "http://127.0.0.1:$KV_SCRIPTED_PORT/feed.xml" "$upd_dir/feed.xml" --verbose
    fi
    rm -rf "$upd_dir"
fi

# Demo tour, kvinet extract: sourced in order by examples/demo.sh, which defines "step" and has started the
# servers (their settings in KV_* variables; a script skips what is not running).
# Info extractor: the e-mail links and URLs of a page, over HTTP and as a local file.
if [ -n "${KV_NGINX_ROOT:-}" ]; then
    page="$KV_NGINX_ROOT/demo-links.html"
    printf '%s\n' '<p>Write to <a href="mailto:office@example.org">the office</a> or mailto:help@example.org.</p>' \
        '<p>See http://www.example.org/docs and <a href="https://example.org/a(b)">this</a>.</p>' > "$page"
    chmod 644 "$page"
    step extract "http://127.0.0.1:$KV_NGINX_PORT/demo-links.html" --kind mailto
    step extract "http://127.0.0.1:$KV_NGINX_PORT/demo-links.html" --kind https
    step extract "$page" --kind http
    step extract "http://127.0.0.1:$KV_NGINX_PORT/no-such-page.html" --kind mailto
    rm -f "$page"
fi

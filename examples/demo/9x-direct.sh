# Demo tour, kvinet news: sourced in order by examples/demo.sh, which defines "step" and has started
# the servers (their settings in KV_* variables; a script skips what is not running).
# Web direct: a news file served by nginx, shown as a tree with every item new; a line added on the
# server, and only that item is new; an unchanged file with --show-mode ifchanged shows nothing.
if [ -n "${KV_NGINX_PORT:-}" ] && [ -n "${KV_NGINX_ROOT:-}" ]; then
    news_dir=$(mktemp -d)
    news_name="demo-news-$$.sin"
    news_served="$KV_NGINX_ROOT/$news_name"
    printf '%s\n' '[Releases]' 'https://example.org/2.0=Version 2.0 is out' \
        'https://example.org/tips=Tips and tricks' 'mailto:news@example.org=Write to us' \
        '[Events]' 'ftp://example.org/fair.txt=Meet us at the fair' > "$news_served"
    chmod a+r "$news_served"
    step news "http://127.0.0.1:$KV_NGINX_PORT/$news_name" --local "$news_dir/news.sin"
    sed -i 's|^\[Events\]$|https://example.org/2.1=Version 2.1 is out\n[Events]|' "$news_served"
    step news "http://127.0.0.1:$KV_NGINX_PORT/$news_name" --local "$news_dir/news.sin"
    step news "http://127.0.0.1:$KV_NGINX_PORT/$news_name" --local "$news_dir/news.sin" --show-mode ifchanged \
        --verbose
    rm -f "$news_served"
    rm -rf "$news_dir"
fi

# Demo tour, kvinet fedex: sourced in order by examples/demo.sh, which defines "step" and has started
# the servers (their settings in KV_* variables; a script skips what is not running).
# The parcel tracker against a tracking page of our own making served by nginx, then an error page.
if [ -n "${KV_NGINX_PORT:-}" ]; then
    mkdir -p "$KV_NGINX_ROOT/cgi-bin"
    cat > "$KV_NGINX_ROOT/cgi-bin/tracking" <<'HTML'
<html><body><h1>Tracking</h1>
<!-- shipment info -->
<table>
<tr><td>Tracking number</td><td>1234 5678</td></tr>
<tr><td>Status</td>  <td>Delivered</td></tr>
<tr><td>Signed by</td><td>J.&nbsp;SMITH</td></tr>
</table>
<!-- BEGIN Scan Activity -->
<table>
<tr><td>Date</td><td>Activity</td><td>Location</td></tr>
<tr><td>Mar 3</td><td>Delivered</td><td>MEMPHIS, TN</td></tr>
<tr><td>Mar 2</td><td>Left origin &amp; on its way</td><td>ATLANTA, GA</td></tr>
</table>
<!-- END Scan Activity -->
</body></html>
HTML
    chmod 755 "$KV_NGINX_ROOT/cgi-bin"
    chmod 644 "$KV_NGINX_ROOT/cgi-bin/tracking"
    step fedex 1234 5678 --host 127.0.0.1 --port "$KV_NGINX_PORT"
fi
if [ -n "${KV_SCRIPTED_DIR:-}" ]; then
    # An error page is never taken for a result: exit status 1 with the server's status line.
    cat > "$KV_SCRIPTED_DIR/script.json" <<'JSON'
{"steps": [{"read_until": "\r\n\r\n"},
           {"send": "HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/html\r\n\r\n<html>Try again later</html>\r\n"}]}
JSON
    step fedex 1234 --host 127.0.0.1 --port "$KV_SCRIPTED_PORT"
fi

# Demo tour, kvinet rss: sourced in order by examples/demo.sh, which defines "step" and has started
# the servers (their settings in KV_* variables; a script skips what is not running).
# The RSS parser: an RSS 2.0 feed served by nginx (the image's title is not the channel's, the description
# comes out of its CDATA section), an RSS 1.0 feed made on demand without a size, and an HTML page, which
# holds no channel and fails.
if [ -n "${KV_NGINX_PORT:-}" ]; then
    rss_name="demo-rss-$$.xml"
    rss_file="$KV_NGINX_ROOT/$rss_name"
    cat >"$rss_file" <<'XML'
<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0">
  <channel>
    <title>Harbour Notes</title>
    <link>http://harbour.example/</link>
    <description>Tides &amp; boats</description>
    <image><title>Harbour logo</title><url>http://harbour.example/logo.png</url></image>
    <item>
      <title>High tide at 06:12</title>
      <link>http://harbour.example/1</link>
      <description><![CDATA[<p>Moorings <b>full</b></p>]]></description>
    </item>
    <item><title>Ferry delayed</title><link>http://harbour.example/2</link></item>
  </channel>
</rss>
XML
    chmod 644 "$rss_file"
    step rss "http://127.0.0.1:$KV_NGINX_PORT/$rss_name"
    step rss "http://127.0.0.1:$KV_NGINX_PORT/index.html"
    rm -f "$rss_file"
fi
if [ -n "${KV_SCRIPTED_DIR:-}" ]; then
    cat >"$KV_SCRIPTED_DIR/script.json" <<'JSON'
{"steps": [{"read_until": "\r\n\r\n"},
           {"send": "HTTP/1.0 200 OK\r\nContent-Type: application/rss+xml\r\n\r\n<rdf:RDF><channel><title>Orchard Log</title></channel><item><title>Blossom</title><dc:creator>Ada Pomme</dc:creator><dc:date>2024-04-01</dc:date></item></rdf:RDF>\n"}]}
JSON
    step rss "http://127.0.0.1:$KV_SCRIPTED_PORT/orchard.rdf" --verbose
fi

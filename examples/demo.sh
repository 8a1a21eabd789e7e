#!/usr/bin/env bash
# The demo tour: what each component does, run with the kvinet tool against local test servers.
set -euo pipefail
kv="$BIN/kvinet"
step() { printf '\n\033[1m$ kvinet %s\033[0m\n' "$*"; "$kv" "$@" || echo "(exit $?)"; }

echo "KvInet demo: the components, one command each."
step about
step util base64 'user:secret'
step util utf8-decode C3A9E282ACF09F9880
step util html-decode 'Fish &amp; Chips &lt;today&gt;'
step util content-type report.pdf
step util column 'a,b,,d' 3 ,

# The XML engine on a small feed: the tree, then one subtree found by name.
xml_dir=$(mktemp -d)
xml_doc="$xml_dir/feed.xml"
printf '%s\n' '<?xml version="1.0" encoding="utf-8"?>' \
    '<rss version="2.0"><channel><title>Fish &amp; Chips</title><!-- daily -->' \
    '<item id="1"><title>Café opens</title><link>http://example.com/1</link></item>' \
    '<item id="2"><title>3 &lt; 4</title><link>http://example.com/2</link></item></channel></rss>' >"$xml_doc"
step xml "$xml_doc"
step xml "$xml_doc" --find item
rm -rf "$xml_dir"

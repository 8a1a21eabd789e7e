# Demo tour, kvinet xml: sourced in order by examples/demo.sh, which defines "step" and has started
# the servers (their settings in KV_* variables; a script skips what is not running).
# The XML engine on a small feed: the tree, then one subtree found by name, then that subtree with
# every element's attributes as items.
xml_dir=$(mktemp -d)
xml_doc="$xml_dir/feed.xml"
printf '%s\n' '<?xml version="1.0" encoding="utf-8"?>' \
    '<rss version="2.0"><channel><title>Fish &amp; Chips</title><!-- daily -->' \
    '<item id="1"><title>Café opens</title><link>http://example.com/1</link></item>' \
    '<item id="2"><title>3 &lt; 4</title><link>http://example.com/2</link></item></channel></rss>' >"$xml_doc"
step xml "$xml_doc"
step xml "$xml_doc" --find item
step xml "$xml_doc" --find item --attributes
rm -rf "$xml_dir"

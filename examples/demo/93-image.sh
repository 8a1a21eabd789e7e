# Demo tour, kvinet image: sourced in order by examples/demo.sh, which defines "step" and has started the
# servers (their settings in KV_* variables; a script skips what is not running).
# Remote image: a picture refreshed three times (downloaded once, then shown from the kept copy), and an
# error page served under a picture's name.
if [ -n "${KV_NGINX_ROOT:-}" ]; then
    img_dir=$(mktemp -d)
    # A 2x2 PNG, red, green, blue and white.
    printf '%s' 'iVBORw0KGgoAAAANSUhEUgAAAAIAAAACCAIAAAD91JpzAAAAEklEQVR4nGP4z8DAAMIM/4EAAB/uBfsL2WiLAAAAAElFTkSuQmCC' \
        | base64 -d > "$KV_NGINX_ROOT/demo-cam.png"
    printf '<html>Not Found</html>' > "$KV_NGINX_ROOT/demo-cam.jpg"
    chmod 644 "$KV_NGINX_ROOT/demo-cam.png" "$KV_NGINX_ROOT/demo-cam.jpg"
    step image "http://127.0.0.1:$KV_NGINX_PORT/demo-cam.png" --out "$img_dir/cam.png" --interval 200 --count 3
    step image "http://127.0.0.1:$KV_NGINX_PORT/demo-cam.jpg" --out "$img_dir/page.png"
    rm -rf "$img_dir" "$KV_NGINX_ROOT/demo-cam.png" "$KV_NGINX_ROOT/demo-cam.jpg"
fi

# Demo tour, kvinet translate, detect, languages, speak: sourced in order by examples/demo.sh, which
# defines "step" and has started the servers (their settings in KV_* variables; a script skips what is not
# running).
# The translator client against canned answers that nginx serves in place of the retired service: a
# translation (its text is percent-encoded on the way), a detected language, the language lists, speech
# saved to a file, then a method the stand-in lacks (404), which leaves the saved file alone.
if [ -n "${KV_NGINX_ROOT:-}" ]; then
    tr_svc="$KV_NGINX_ROOT/demo-translator/v2/Http.svc"
    mkdir -p "$tr_svc"
    printf '%s' '<string xmlns="http://schemas.example/">Guten Morgen &amp; willkommen</string>' >"$tr_svc/Translate"
    printf '%s' '<?xml version="1.0" encoding="utf-8"?><string>de</string>' >"$tr_svc/Detect"
    printf '%s' '<ArrayOfstring><string>de</string><string>en</string><string>fr</string></ArrayOfstring>' \
        >"$tr_svc/GetLanguagesForTranslate"
    printf '%s' '<ArrayOfstring><string>de</string><string>en</string></ArrayOfstring>' >"$tr_svc/GetLanguagesForSpeak"
    printf 'RIFF....WAVEfmt demo audio' >"$tr_svc/Speak"
    chmod -R a+rX "$KV_NGINX_ROOT/demo-translator"
    tr_host="http://127.0.0.1:$KV_NGINX_PORT/demo-translator/v2/Http.svc"
    tr_out=$(mktemp -d)
    step translate "Good morning & welcome" --from en --to de --host "$tr_host"
    step detect "Guten Morgen" --host "$tr_host"
    step languages --host "$tr_host"
    step languages --speak --host "$tr_host"
    step speak "Guten Morgen" --language de --out "$tr_out/morning.wav" --host "$tr_host"
    echo "saved: $(wc -c <"$tr_out/morning.wav") bytes"
    grep -o '"GET /demo-translator/v2/Http.svc/Translate[^"]*"' "$KV_NGINX_ACCESS_LOG" | tail -1
    rm "$tr_svc/Speak"
    step speak "Guten Morgen" --language de --out "$tr_out/morning.wav" --host "$tr_host"
    echo "kept: $(wc -c <"$tr_out/morning.wav") bytes"
    rm -rf "$tr_out" "$KV_NGINX_ROOT/demo-translator"
fi

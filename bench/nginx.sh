# Sourced by the benchmarks that fetch from nginx on loopback (not a benchmark itself: run.sh runs bench_*.sh).
#   bench_nginx WORKDIR
# Uses a running nginx when KV_NGINX_PORT and KV_NGINX_ROOT are set; otherwise starts one from tests/servers
# under WORKDIR and exports both. bench_nginx_stop stops the one it started (call it from the EXIT trap).
bench_nginx_started=""
bench_nginx() {
    if [ -n "${KV_NGINX_PORT:-}" ] && [ -n "${KV_NGINX_ROOT:-}" ]; then return 0; fi
    bench_nginx_started="$1/servers"
    eval "$(/usr/bin/python3 "$ROOT/tests/servers/kvservers.py" start nginx --dir "$bench_nginx_started" | sed 's/^/export /')"
}
bench_nginx_stop() {
    if [ -n "$bench_nginx_started" ]; then
        /usr/bin/python3 "$ROOT/tests/servers/kvservers.py" stop nginx --dir "$bench_nginx_started" >/dev/null 2>&1 || true
    fi
}

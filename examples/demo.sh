#!/usr/bin/env bash
# The demo tour: what each component does, run with the kvinet tool against local test servers that this
# script starts (tests/servers/kvservers.py) and stops again.
set -euo pipefail
: "${ROOT:?}" "${BIN:?}"

if [ -z "${KV_DEMO_INSIDE:-}" ]; then
    dir=$(mktemp -d /tmp/kvinet-demo.XXXXXX)
    chmod 755 "$dir"
    trap 'rm -rf "$dir"' EXIT
    echo "Starting the local test servers in $dir ..."
    KV_DEMO_INSIDE=1 /usr/bin/python3 "$ROOT/tests/servers/kvservers.py" run all --dir "$dir" -- bash "$0"
    exit $?
fi

kv="$BIN/kvinet"
step() {
    printf '\n\033[1m$ kvinet %s\033[0m\n' "$*"
    local rc=0
    "$kv" "$@" || rc=$?
    [ $rc -eq 0 ] || echo "(exit status $rc)"
}

echo "KvInet demo: the components, one command each."
# One script per command, in the order of their names; a new command adds its own.
for script in "$ROOT"/examples/demo/*.sh; do
    # shellcheck source=/dev/null
    ( . "$script" ) || echo "(demo script $(basename "$script") failed)"
done

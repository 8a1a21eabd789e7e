#!/usr/bin/env bash
# Checks the Debian packages as a user gets them: builds them with CPack (or takes the ones in
# KVINET_DEB_DIR), checks their control fields, unpacks all three into a temporary root, builds an outside
# program against that root with pkg-config and with find_package and runs it, runs kvinet from there,
# renders the manual page, asks the bash completion, and runs lintian when it is installed.
# Exit 77 (a CTest skip) when the packaging tools are missing, unless KVINET_REQUIRE_PACKAGING=1.
#   check_packages.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2

fail() { echo "FAIL: $*" >&2; exit 1; }

missing=()
for tool in cpack dpkg-deb dpkg-shlibdeps file readelf man nroff pkg-config g++ cmake; do
    command -v "$tool" >/dev/null || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
    [ "${KVINET_REQUIRE_PACKAGING:-0}" = 1 ] && fail "packaging tools missing: ${missing[*]}"
    echo "SKIP: packaging tools missing: ${missing[*]}"
    exit 77
fi
if ! command -v lintian >/dev/null && [ "${KVINET_REQUIRE_PACKAGING:-0}" = 1 ]; then
    fail "lintian is not installed"
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
debs=${KVINET_DEB_DIR:-}
if [ -z "$debs" ]; then
    debs=$tmp/debs
    (cd "$build" && cpack -G DEB -B "$debs" >"$tmp/cpack.log" 2>&1) || { cat "$tmp/cpack.log"; fail "cpack"; }
fi

# ---- the three packages and their fields
pkg() { # the one .deb of package $1
    local found=("$debs/$1"_*.deb)
    [ ${#found[@]} -eq 1 ] && [ -f "${found[0]}" ] || fail "expected one package $1 in $debs"
    echo "${found[0]}"
}
lib_deb=$(ls "$debs"/libkvinet[0-9]*_*.deb 2>/dev/null) || fail "no libkvinetN package in $debs"
[ "$(echo "$lib_deb" | wc -l)" -eq 1 ] || fail "more than one library package: $lib_deb"
lib=$(dpkg-deb -f "$lib_deb" Package)
dev_deb=$(pkg libkvinet-dev)
tool_deb=$(pkg kvinet)
version=$(dpkg-deb -f "$lib_deb" Version)
for d in "$dev_deb" "$tool_deb"; do
    [ "$(dpkg-deb -f "$d" Version)" = "$version" ] || fail "$(basename "$d"): version is not $version"
done
depends() { dpkg-deb -f "$1" Depends | tr ',' '\n' | sed 's/^ *//'; }
has_dep() { depends "$1" | grep -qxF -- "$2" || fail "$(basename "$1") does not depend on '$2': $(dpkg-deb -f "$1" Depends)"; }
has_dep_on() { depends "$1" | grep -qE -- "^($2)( |$)" || fail "$(basename "$1") has no dependency matching '$2'"; }
# From the shared-library scan: the Qt and libcurl runtime packages.
has_dep_on "$lib_deb" libqt6core6
has_dep_on "$lib_deb" libqt6network6
has_dep_on "$lib_deb" libcurl4
has_dep_on "$tool_deb" libqt6core6
has_dep "$tool_deb" "$lib (= $version)"
has_dep "$dev_deb" "$lib (= $version)"
has_dep_on "$dev_deb" qt6-base-dev
has_dep_on "$dev_deb" libcurl4-openssl-dev
# The package name follows the soname, and the shlibs file names both.
mkdir "$tmp/ctl"
dpkg-deb -e "$lib_deb" "$tmp/ctl"
read -r shlib_name shlib_version shlib_rest <"$tmp/ctl/shlibs" || fail "no shlibs in $lib"
[ "$lib" = "${shlib_name,,}$shlib_version" ] || fail "package $lib does not match the soname version $shlib_version"
grep -q "activate-noawait ldconfig" "$tmp/ctl/triggers" || fail "$lib does not trigger ldconfig"

# ---- unpack into a temporary root
root=$tmp/root
for d in "$lib_deb" "$dev_deb" "$tool_deb"; do dpkg-deb -x "$d" "$root"; done
so=$(find "$root" -name "$shlib_name.so.$shlib_version" -print -quit)
[ -n "$so" ] || fail "$shlib_name.so.$shlib_version is not in $lib"
libdir=$(dirname "$so")
soname=$(readelf -d "$so" | sed -n 's/.*Library soname: \[\(.*\)\].*/\1/p')
[ "$soname" = "$shlib_name.so.$shlib_version" ] || fail "soname is '$soname'"
[ -L "$libdir/$shlib_name.so" ] || fail "the -dev package has no unversioned link"
export LD_LIBRARY_PATH=$libdir

expected="aW5zdGFsbGVk é"
uses_root() { # the program $1 loads the library from the unpacked root
    ldd "$1" | grep -F "$shlib_name.so.$shlib_version => $libdir/" >/dev/null ||
        fail "$(basename "$1") does not load the unpacked library: $(ldd "$1" | grep -F "$shlib_name")"
}

# ---- an outside program, with pkg-config
export PKG_CONFIG_PATH=$libdir/pkgconfig
pkg-config --exists kvinet || fail "pkg-config does not find kvinet.pc"
[ "$(pkg-config --modversion kvinet)" = "${version%-*}" ] || fail "kvinet.pc has version $(pkg-config --modversion kvinet)"
pkg-config --print-requires kvinet | grep -q '^Qt6Core' || fail "kvinet.pc does not require Qt6Core"
pkg-config --print-requires-private kvinet | grep -q '^libcurl' || fail "kvinet.pc does not name libcurl"
include=$(pkg-config --cflags-only-I kvinet | tr ' ' '\n' | sed -n 's/^-I//p' | head -1)
[ "$(realpath -m "$include")" = "$root/usr/include/KvInet" ] || fail "kvinet.pc points to the headers at '$include'"
# shellcheck disable=SC2046
g++ -std=c++20 -o "$tmp/consumer-pc" "$source/tests/install/consumer/main.cpp" $(pkg-config --cflags --libs kvinet)
uses_root "$tmp/consumer-pc"
[ "$("$tmp/consumer-pc")" = "$expected" ] || fail "the pkg-config program printed '$("$tmp/consumer-pc")'"

# ---- the same program, with find_package
cmake -S "$source/tests/install/consumer" -B "$tmp/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" \
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >/dev/null
cmake --build "$tmp/consumer" >/dev/null
grep -q "KvInet_DIR:PATH=$root/usr/" "$tmp/consumer/CMakeCache.txt" ||
    fail "find_package did not take KvInet from the unpacked root: $(grep KvInet_DIR "$tmp/consumer/CMakeCache.txt")"
uses_root "$tmp/consumer/consumer"
[ "$("$tmp/consumer/consumer")" = "$expected" ] || fail "the find_package program printed '$("$tmp/consumer/consumer")'"

# ---- the tool from the root, and the commands it knows
kvinet=$root/usr/bin/kvinet
"$kvinet" --help >"$tmp/help.txt" || fail "kvinet --help"
awk '/Commands:$/ { on = 1; next } on && /^$/ { exit } on { print $1 }' "$tmp/help.txt" >"$tmp/commands"
[ "$(wc -l <"$tmp/commands")" -ge 5 ] || fail "kvinet --help lists too few commands: $(cat "$tmp/commands")"

# ---- the manual page: renders without warnings, names every command and option
page=$root/usr/share/man/man1/kvinet.1.gz
[ -f "$page" ] || fail "no manual page in the kvinet package"
LC_ALL=C MANWIDTH=200 man --warnings -l "$page" >"$tmp/man.txt" 2>"$tmp/man.err" || fail "man -l failed"
[ ! -s "$tmp/man.err" ] || { cat "$tmp/man.err"; fail "the manual page renders with warnings"; }
grep -q '^NAME' "$tmp/man.txt" && grep -q 'kvinet - ' "$tmp/man.txt" || fail "the manual page has no NAME"
while read -r c; do
    grep -qx "   $c" "$tmp/man.txt" || fail "the manual page has no section for '$c'"
    grep -qE "^ +$c( |$)" "$tmp/man.txt" || fail "the manual page does not list '$c'"
    "$kvinet" "$c" --help >"$tmp/help-$c.txt"
    sed -n 's/^  \(-., \)\{0,1\}\(--[a-z0-9-]*\).*/\2/p' "$tmp/help-$c.txt" >"$tmp/options-$c"
    [ -s "$tmp/options-$c" ] || fail "kvinet $c --help shows no options"
    # Each option with its value name, tab, its help: the help starts at column 31, or after two spaces
    # where the option and its value are longer.
    awk '/^  -/ {
        if (length($0) > 31 && substr($0, 31, 1) == " " && substr($0, 30, 1) != " ") { left = substr($0, 3, 28); help = substr($0, 32) }
        else if (match(substr($0, 3), /  +/)) { left = substr($0, 3, RSTART - 1); help = substr($0, 3 + RSTART + RLENGTH - 1) }
        else { fail = 1; print "no help after " $0 > "/dev/stderr" }
        sub(/ +$/, "", left); sub(/^-., /, "", left); sub(/^ +/, "", help)
        print left "\t" help
    } END { exit fail }' "$tmp/help-$c.txt" >"$tmp/optlines-$c" || fail "kvinet $c --help has an option without help"
    # The options must appear in this command's own section, between its heading and the next one.
    awk -v c="$c" '$0 ~ "^   " c "$" { on = 1; next } on && /^(   )?[^ ]/ { exit } on' "$tmp/man.txt" >"$tmp/man-$c"
    while read -r o; do
        grep -qE -- "^ +(-., )?$o( |$)" "$tmp/man-$c" || fail "the manual page does not show $o for '$c'"
    done <"$tmp/options-$c"
    # ...whole: the value name on the option's line and the help on its own.
    while IFS=$'\t' read -r left help; do
        awk -v want="$left" '{ sub(/^ +(-., )?/, ""); sub(/ +$/, "") }
            $0 == want || index($0, want " ") == 1 { found = 1 } END { exit !found }' "$tmp/man-$c" ||
            fail "the manual page shows '$left' of '$c' garbled"
        grep -qF -- "$help" "$tmp/man-$c" || fail "the manual page lacks the help of '$left' for '$c'"
    done <"$tmp/optlines-$c"
done <"$tmp/commands"

# ---- bash completion: the commands, and each command's options
completion=$root/usr/share/bash-completion/completions/kvinet
[ -f "$completion" ] || fail "no bash completion in the kvinet package"
complete_words() { # the completions offered for the words given ("" for an empty current word)
    bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _kvinet; printf "%s\n" "${COMPREPLY[@]}"' \
        _ "$completion" "$@" | sort
}
diff <(complete_words kvinet "") <( (cat "$tmp/commands"; echo --help) | sort) ||
    fail "completion does not offer exactly the commands"
while read -r c; do
    complete_words kvinet "$c" -- >"$tmp/offered"
    missing_options=$(sort "$tmp/options-$c" | comm -23 - "$tmp/offered")
    [ -z "$missing_options" ] || fail "completion misses options of '$c': $missing_options"
    # After an option that takes a value: its choices when the help lists them (a|b|c), else no options.
    while IFS=$'\t' read -r left help; do
        case $left in *" "*) ;; *) continue ;; esac
        option=${left%% *} value=${left#* }
        if [[ $value =~ ^[a-z0-9]+(\|[a-z0-9]+)+$ ]]; then
            diff <(complete_words kvinet "$c" "$option" "") <(tr '|' '\n' <<<"$value" | sort) >/dev/null ||
                fail "completion after '$c $option' does not offer $value"
        elif complete_words kvinet "$c" "$option" -- | grep -q .; then
            fail "completion after '$c $option' offers options where $value belongs"
        fi
    done <"$tmp/optlines-$c"
done <"$tmp/commands"
first=$(head -1 "$tmp/commands")
complete_words kvinet "${first:0:2}" | grep -qx "$first" || fail "completion of '${first:0:2}' does not give $first"

# ---- lintian: no errors
if command -v lintian >/dev/null; then
    status=0
    lintian --fail-on error "$lib_deb" "$dev_deb" "$tool_deb" >"$tmp/lintian.txt" 2>&1 || status=$?
    grep -v 'running with root privileges' "$tmp/lintian.txt" || true
    [ "$status" -eq 0 ] || fail "lintian reports errors"
else
    echo "note: lintian is not installed; package lint skipped"
fi
echo "packages $lib, libkvinet-dev, kvinet $version: OK"

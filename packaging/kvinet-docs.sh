#!/bin/sh
# Writes the manual page kvinet.1 (and kvinet.1.gz) and the bash completion script kvinet.bash from the
# tool's own help texts: "kvinet --help" names the commands, "kvinet COMMAND --help" gives each one's
# synopsis, description and options. Run at build time, so a new command file shows up in both without
# an edit here.
#   kvinet-docs.sh KVINET VERSION OUTDIR
set -eu
kvinet=$1
version=$2
out=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$out"

"$kvinet" --help >"$tmp/top.txt"
# The command table: "  NAME  summary" lines after "Commands:" up to the first blank line.
awk '/Commands:$/ { on = 1; next } on && /^$/ { exit } on { print $1 }' "$tmp/top.txt" >"$tmp/commands"
[ -s "$tmp/commands" ] || { echo "kvinet-docs: no commands in '$kvinet --help'" >&2; exit 1; }
while read -r c; do
    "$kvinet" "$c" --help >"$tmp/cmd-$c.txt"
done <"$tmp/commands"

# SOURCE_DATE_EPOCH keeps a package build reproducible; otherwise today.
date=$(date -u ${SOURCE_DATE_EPOCH:+-d @$SOURCE_DATE_EPOCH} +%Y-%m-%d)

# One awk program reads every help text and writes both files. The help layout it relies on is Cli.cpp's:
#   Usage: kvinet NAME SYNOPSIS / blank / description / blank / Options: / "  [-S, ]--name [VALUE]  help"
# An option's help starts at column 31, or after the first run of two spaces when the left part is longer.
set --
while read -r c; do set -- "$@" "$tmp/cmd-$c.txt"; done <"$tmp/commands"
awk -v sq="'" -v version="$version" -v date="$date" -v man="$out/kvinet.1" -v bash="$out/kvinet.bash" '
function roff(s) {
    gsub(/\\/, "\\e", s)
    gsub(/-/, "\\-", s)
    if (s ~ /^[.]/ || substr(s, 1, 1) == sq) s = "\\&" s
    return s
}
FNR == 1 { file++ }
file == 1 {
    if ($0 ~ /Commands:$/) { incmds = 1; sub(/ *Commands:$/, ""); intro = $0; next }
    if (incmds && $0 == "") { incmds = 0; next }
    if (incmds) {
        n++; name[n] = $1; line = $0; sub(/^ *[^ ]+ +/, "", line); summary[n] = line
        next
    }
    if ($0 ~ /^Exit status:/) exitline = $0
    else if ($0 != "" && $0 !~ /^Usage:/ && $0 !~ /COMMAND --help/) extra = extra $0 "\n"
    next
}
{
    c = name[file - 1]
    if (FNR == 1) {
        synopsis[c] = $0; sub(/^Usage: kvinet [^ ]+ ?/, "", synopsis[c])
        state = "desc"; desc[c] = ""; nopt[c] = 0; nsub[c] = 0
        next
    }
    if (state == "desc") {
        if ($0 == "Options:") { state = "opts"; next }
        desc[c] = desc[c] $0 "\n"
        # An indented table under a SUBCOMMAND synopsis lists the subcommands.
        if (synopsis[c] ~ /^SUBCOMMAND/ && $0 ~ /^  [^ ]/) { split($0, w, " "); sub_[c, ++nsub[c]] = w[1] }
        next
    }
    if (state == "opts" && $0 ~ /^  -/) {
        line = substr($0, 3)
        if (length($0) > 31 && substr($0, 31, 1) == " " && substr($0, 30, 1) != " ") {
            left = substr($0, 3, 28); help = substr($0, 32)
        } else if (match(line, /  +/)) {
            left = substr(line, 1, RSTART - 1); help = substr(line, RSTART + RLENGTH)
        } else { left = line; help = "" }
        sub(/ +$/, "", left); sub(/^ +/, "", help)
        k = ++nopt[c]; optleft[c, k] = left; opthelp[c, k] = help
        short = ""; long = left
        if (long ~ /^-[^-], /) { short = substr(long, 1, 2); long = substr(long, 5) }
        value = ""
        if (index(long, " ")) { value = substr(long, index(long, " ") + 1); long = substr(long, 1, index(long, " ") - 1) }
        optshort[c, k] = short; optlong[c, k] = long; optvalue[c, k] = value
    }
}
END {
    # ---- the manual page
    print ".TH KVINET 1 \"" date "\" \"kvinet " version "\" \"User Commands\"" > man
    print ".nh" > man
    print ".ad l" > man
    print ".SH NAME" > man
    print "kvinet \\- Internet components from the command line" > man
    print ".SH SYNOPSIS" > man
    print ".B kvinet" > man
    print ".I COMMAND" > man
    print "[\\fIoptions\\fR] [\\fIargs\\fR]" > man
    print ".br" > man
    print ".B kvinet" > man
    print "[\\fICOMMAND\\fR] \\fB\\-\\-help\\fR" > man
    print ".SH DESCRIPTION" > man
    print roff(intro) > man
    print "Each command runs one component; every command takes \\fB\\-\\-help\\fR." > man
    if (extra != "") { printf "%s", roff(extra) > man }
    print ".SH COMMANDS" > man
    for (i = 1; i <= n; i++) {
        c = name[i]
        print ".TP" > man
        print "\\fB" roff(c) "\\fR" (synopsis[c] != "" ? " " roff(synopsis[c]) : "") > man
        print roff(summary[i]) > man
    }
    print ".SH \"COMMAND REFERENCE\"" > man
    for (i = 1; i <= n; i++) {
        c = name[i]
        print ".SS " roff(c) > man
        print "\\fBkvinet " roff(c) "\\fR" (synopsis[c] != "" ? " " roff(synopsis[c]) : "") > man
        print ".PP" > man
        text = desc[c]; sub(/^\n+/, "", text); sub(/\n+$/, "", text)
        m = split(text, lines, "\n"); pre = 0
        for (j = 1; j <= m; j++) {
            l = lines[j]
            if (l ~ /^ /) { if (!pre) { print ".PP" > man; print ".nf" > man; pre = 1 }; print roff(l) > man; continue }
            if (pre) { print ".fi" > man; pre = 0 }
            if (l == "") print ".PP" > man
            else print roff(l) > man
        }
        if (pre) print ".fi" > man
        if (nopt[c] > 0) { print ".PP" > man; print "Options:" > man }
        for (k = 1; k <= nopt[c]; k++) {
            print ".TP" > man
            l = optleft[c, k]
            if (optshort[c, k] != "") l = optshort[c, k] ", " optlong[c, k]; else l = optlong[c, k]
            head = "\\fB" roff(l) "\\fR"
            if (optvalue[c, k] != "") head = head " \\fI" roff(optvalue[c, k]) "\\fR"
            print head > man
            print roff(opthelp[c, k]) > man
        }
    }
    if (exitline != "") {
        print ".SH EXIT STATUS" > man
        s = exitline; sub(/^Exit status: */, "", s)
        print roff(s) > man
    }
    print ".SH FILES" > man
    print ".TP" > man
    print ".I /usr/share/bash\\-completion/completions/kvinet" > man
    print "bash completion for the commands and their options" > man
    close(man)

    # ---- bash completion
    b = bash
    print "# bash completion for kvinet " version ", made from its help texts at build time." > b
    print "_kvinet() {" > b
    print "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}" > b
    cmds = ""
    for (i = 1; i <= n; i++) cmds = cmds (i > 1 ? " " : "") name[i]
    print "    if [ \"$COMP_CWORD\" -eq 1 ]; then" > b
    print "        COMPREPLY=($(compgen -W \"" cmds " --help\" -- \"$cur\"))" > b
    print "        return 0" > b
    print "    fi" > b
    print "    local opts= files= choices= values= subs=" > b
    print "    case ${COMP_WORDS[1]} in" > b
    for (i = 1; i <= n; i++) {
        c = name[i]; opts = ""; files = ""; values = ""; subs = ""; choice = ""
        for (k = 1; k <= nopt[c]; k++) {
            opts = opts " " optlong[c, k] (optshort[c, k] != "" ? " " optshort[c, k] : "")
            v = optvalue[c, k]
            if (v == "") continue
            both = optlong[c, k] (optshort[c, k] != "" ? "|" optshort[c, k] : "")
            if (v ~ /FILE/) files = files "|" both
            else if (v ~ /^[a-z0-9]+(\|[a-z0-9]+)+$/) { cw = v; gsub(/\|/, " ", cw); choice = choice "            " both ") choices=\"" cw "\" ;;\n" }
            values = values "|" both
        }
        for (k = 1; k <= nsub[c]; k++) subs = subs (k > 1 ? " " : "") sub_[c, k]
        print "        " c ")" > b
        print "            opts=\"" substr(opts, 2) "\"" > b
        if (subs != "") print "            subs=\"" subs "\"" > b
        if (values != "") print "            values=\"" substr(values, 2) "\"" > b
        if (files != "") print "            files=\"" substr(files, 2) "\"" > b
        if (choice != "") { print "            case $prev in" > b; printf "%s", choice > b; print "            esac" > b }
        print "            ;;" > b
    }
    print "        *) return 0 ;;" > b
    print "    esac" > b
    print "    if [ -n \"$choices\" ]; then" > b
    print "        COMPREPLY=($(compgen -W \"$choices\" -- \"$cur\"))" > b
    print "        return 0" > b
    print "    fi" > b
    print "    if [[ \"|$files|\" == *\"|$prev|\"* ]]; then" > b
    print "        COMPREPLY=()" > b
    print "        compopt -o default 2>/dev/null" > b
    print "        return 0" > b
    print "    fi" > b
    print "    if [[ \"|$values|\" == *\"|$prev|\"* ]]; then" > b
    print "        COMPREPLY=()" > b
    print "        return 0" > b
    print "    fi" > b
    print "    if [[ $cur == -* ]]; then" > b
    print "        COMPREPLY=($(compgen -W \"$opts\" -- \"$cur\"))" > b
    print "        return 0" > b
    print "    fi" > b
    print "    if [ -n \"$subs\" ] && [ \"$COMP_CWORD\" -eq 2 ]; then" > b
    print "        COMPREPLY=($(compgen -W \"$subs\" -- \"$cur\"))" > b
    print "        return 0" > b
    print "    fi" > b
    print "    # Arguments are mostly files and URLs: offer file names." > b
    print "    COMPREPLY=()" > b
    print "    compopt -o default 2>/dev/null" > b
    print "    return 0" > b
    print "}" > b
    print "complete -F _kvinet kvinet" > b
    close(b)
}
' "$tmp/top.txt" "$@"
gzip -9nc "$out/kvinet.1" >"$out/kvinet.1.gz"

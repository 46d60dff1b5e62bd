#!/usr/bin/env bash
# Checks the manual pages against the built programs:
#   - each page formats without a single groff warning;
#   - every subcommand and long option that a program's --help lists (and
#     each subcommand's --help) appears in its page, so a new option cannot
#     go undocumented;
#   - every page has an EXIT STATUS section.
# usage: check-pages.sh MAN_FOLDER PROGRAM...   (each PROGRAM's page is
# MAN_FOLDER/<program name>.1)
set -uo pipefail

man_folder=$1
shift
failures=0

fail()
{
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Long options of one help text (option lines only, not the examples).
long_options()
{
    sed -nE 's/^ +(-[A-Za-z],)?(--[A-Za-z0-9][A-Za-z0-9-]*).*/\2/p' <<<"$1"
}

# The page as plain text, in long lines and without hyphenation, so that no
# option name is broken across lines.
page_text()
{
    groff -man -Tascii -rLL=250n -rHY=0 -P-cbou "$1" 2>/dev/null
}

for program in "$@"; do
    name=$(basename "$program")
    page=$man_folder/$name.1
    if [[ ! -f $page ]]; then
        fail "$name has no page $page"
        continue
    fi
    warnings=$(groff -man -ww -z -Tutf8 "$page" 2>&1)
    [[ -z $warnings ]] || fail "$page: groff warns: $warnings"
    text=$(page_text "$page")
    grep -q '^EXIT STATUS' <<<"$text" || fail "$page has no EXIT STATUS section"

    help=$("$program" --help) || fail "$name --help exits non-zero"
    subcommands=$(sed -n '/^Subcommands:/,/^$/p' <<<"$help" | awk 'NR > 1 && NF { print $1 }')
    options=$(long_options "$help")
    for sub in $subcommands; do
        grep -qw -- "$sub" <<<"$text" || fail "$page does not mention the subcommand $sub"
        options+=$'\n'$(long_options "$("$program" "$sub" --help)")
    done
    for option in $(sort -u <<<"$options"); do
        grep -q -- "$option\b" <<<"$text" || fail "$page does not mention $option (listed by $name --help)"
    done
done

if ((failures > 0)); then
    echo "$failures problem(s) in the manual pages"
    exit 1
fi
echo "manual pages match: $*"

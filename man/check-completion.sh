#!/usr/bin/env bash
# Runs the bash completion against the built programs as bash would: each
# case sets the words typed so far and checks the words offered.
# usage: check-completion.sh COMPLETION_SCRIPT PROGRAM_FOLDER...
set -uo pipefail

script=$1
shift
for folder in "$@"; do
    PATH=$folder:$PATH
done
# shellcheck source=/dev/null
source "$script"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
touch "$scratch/session.rec" "$scratch/other.rec"

failures=0

# offered WORDS... : the completion of the last word, one a line.
offered()
{
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _zan_complete
    printf '%s\n' "${COMPREPLY[@]}" | sort
}

# expect "WORDS" "OFFERED" ["NOT OFFERED"]: every word of OFFERED is
# offered and none of NOT OFFERED.
expect()
{
    local -a words
    read -r -a words <<<"$1"
    [[ $1 == *" " ]] && words+=("")
    local got
    got=$(offered "${words[@]}")
    for word in $2; do
        grep -qxF -- "$word" <<<"$got" || { echo "FAIL: '$1' does not offer $word (got: $(echo $got))"; failures=$((failures + 1)); }
    done
    for word in ${3:-}; do
        grep -qxF -- "$word" <<<"$got" && { echo "FAIL: '$1' offers $word"; failures=$((failures + 1)); }
    done
}

expect "zan-tcp-peer --" "--port --mode --duration --help --version"
expect "zan-tcp-peer --mo" "--mode" "--port"
expect "zan-tcp-peer --mode " "echo pair"
expect "zan-tcp-peer --mode p" "pair" "echo"
expect "zan-tcp-peer --port 7000 --d" "--duration"
expect "zan-tcp-peer --port " "" "--mode"
expect "zan-rec " "info dump verify replay export" "--json $scratch/session.rec"
expect "zan-rec ex" "export" "info"
expect "zan-rec --" "--help --version" "--json"
expect "zan-rec dump $scratch/session.rec --" "--hex --json --port --from --to --help" "--pcap --address"
expect "zan-rec export $scratch/session.rec --p" "--pcap" "--port"
expect "zan-rec info $scratch/s" "$scratch/session.rec" "$scratch/other.rec info"
expect "zan-rec export $scratch/session.rec --pcap $scratch/o" "$scratch/other.rec" "$scratch/session.rec"
expect "zan-rec replay $scratch/session.rec --speed 2 --a" "--address" "--speed"

if ((failures > 0)); then
    echo "$failures completion case(s) failed"
    exit 1
fi
echo "completion cases passed"

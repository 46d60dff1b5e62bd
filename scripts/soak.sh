#!/usr/bin/env bash
# Soak run of the tunnel programs (not part of CI): TCP tunnels through a
# relay that is killed and restarted, UDP crypto-type-8 tunnels under
# injected garbage, replays and forged keep-alives, for DURATION seconds.
# Runs as root inside a network namespace it makes and always removes.
# The traffic, the injection and the checks are in soak_driver.py.
set -euo pipefail

GRACE=150  # seconds past DURATION before the run is cut off

usage() {
    cat <<'EOF'
Usage: scripts/soak.sh [--build DIR] [--logs DIR] [--seed N] DURATION_SECONDS

Runs, for DURATION_SECONDS (at least 60), inside a network namespace made
for the run and removed at its end (run as root):
  - two zan-tunnel ends over TCP meeting in `zan-tcp-peer --mode pair
    --hold` (it keeps what an end sends until the other end is back); after
    20 s of traffic with both ends connected the relay is killed (SIGKILL)
    and restarted after 0.5 s, 8 s and 60 s in turn;
  - two zan-tunnel ends over UDP, crypto type 8: a calling end reaches a
    listening end through a forwarder that also sends the listening end
    1 % garbage, 1 % bit-flipped copies and 1 % replays of recent packets
    (from a third address), and a forged keep-alive every second (20 of
    them before the calling end starts).
Each direction carries 100 sequence-numbered datagrams a second to a
counting receiver. Every 30 s it prints RSS, threads and open descriptors
of each zan-tunnel with its --stats lines; at the end the datagrams lost
per outage (sent into the dying connection before the end saw the loss,
and queued while it was down), the reconnect times, the final counters and
its checks:
  - 0.5 s outages (shorter than the 1 s pause before the reconnection's
    first retry): no datagram queued while down is lost; losses in the
    dying connection are shown as a NOTE;
  - no datagram lost while the relay is up, none delivered twice, none
    later than 2 s (the 1.5 s age limit of queued datagrams and a margin),
    except those of the end that is back first, which the relay holds
    until the other end is back (at most 2 s plus that wait);
  - every outage recovered (both ends connected, traffic both ways) within
    45 s of the relay's restart; one DisconnectEvent and one ConnectEvent
    per outage and end (a connect that reached the dying relay and was
    reset at once is shown as a NOTE, not counted); at most 4 error and
    log lines a minute per end;
  - UDP: nothing lost, the listening end never sends to the forger and
    moves its peer to no other address, duplicates only from replays, every
    bad packet counted as a drop, forged keep-alives as unauthenticated;
  - each zan-tunnel's last sample against its first: RSS within
    max(4 MiB, 25 %), threads within +1, descriptors within +2; each
    exits 0 when stopped.
It ends with "N passed, M failed" and exits 0 only when every check passed
(1 when one failed, 2 for wrong usage or a missing program, 124 when cut
off after DURATION + 150 s).

Options:
  --build DIR   build folder with tools/zan-tunnel and tools/zan-tcp-peer
                (default: build/default of this tree)
  --logs DIR    where each process's output is kept (default: a new
                folder under /tmp, named on the first line)
  --seed N      seed of the injection's random choices (default: the time)
EOF
}

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build/default"
logs=""
seed=""
duration=""
while (($#)); do
    case "$1" in
    -h | --help) usage; exit 0 ;;
    --build) build=${2:?--build needs a folder}; shift 2 ;;
    --logs) logs=${2:?--logs needs a folder}; shift 2 ;;
    --seed) seed=${2:?--seed needs a number}; shift 2 ;;
    -*) echo "soak.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
    *) [[ -z $duration ]] || { echo "soak.sh: one duration only" >&2; exit 2; }
       duration=$1; shift ;;
    esac
done
if [[ ! $duration =~ ^[0-9]+$ ]] || ((duration < 60)); then
    echo "soak.sh: DURATION_SECONDS must be a whole number of seconds, at least 60 (see --help)" >&2
    exit 2
fi
if [[ -n $seed && ! $seed =~ ^[0-9]+$ ]]; then
    echo "soak.sh: --seed wants a number" >&2
    exit 2
fi
if ((EUID != 0)); then
    echo "soak.sh: run as root: it makes a network namespace" >&2
    exit 2
fi
for program in tools/zan-tunnel/zan-tunnel tools/zan-tcp-peer/zan-tcp-peer; do
    if [[ ! -x $build/$program ]]; then
        echo "soak.sh: $build/$program is missing; build it with" >&2
        echo "  cmake --build $build --target zan-tunnel zan-tcp-peer" >&2
        exit 2
    fi
done
for tool in ip python3 timeout; do
    command -v "$tool" >/dev/null || { echo "soak.sh: $tool is missing" >&2; exit 2; }
done
if [[ -z $logs ]]; then
    logs=$(mktemp -d /tmp/zan-soak.XXXXXX)
else
    mkdir -p "$logs"
fi

namespace="zan-soak-$$"
driver=""
cleanup() {
    local code=$?
    trap - EXIT INT TERM
    if [[ -n $driver ]]; then
        kill -TERM "$driver" 2>/dev/null || true
    fi
    if ip netns list | grep -qw -- "$namespace"; then
        # Everything this run started lives in the namespace.
        local pids
        pids=$(ip netns pids "$namespace" 2>/dev/null || true)
        if [[ -n $pids ]]; then
            # shellcheck disable=SC2086
            kill -KILL $pids 2>/dev/null || true
        fi
        ip netns del "$namespace" || echo "soak.sh: could not remove namespace $namespace" >&2
    fi
    exit "$code"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ip netns add "$namespace"
ip -n "$namespace" link set lo up

args=(--duration "$duration" --bin-dir "$build" --logs "$logs")
[[ -z $seed ]] || args+=(--seed "$seed")
code=0
timeout --kill-after=10 $((duration + GRACE)) \
    ip netns exec "$namespace" python3 "$root/scripts/soak_driver.py" "${args[@]}" &
driver=$!
wait "$driver" || code=$?
driver=""
exit "$code"

#!/usr/bin/env bash
# Checks the engine's layering from the #include lines of the sources: each
# layer includes only the layers below it, within the engine only the socket
# layer's CNetworkSocket.cpp sees asio or the OS socket headers, and the control and
# its platform layer see only what they may. Prints every violation and
# exits 1 when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

engine=CTunnel_library/src
control=ZAN_Tunnel
public=include/zan_tunnel
failures=0

# header name -> owning folder, for every header of ours
declare -A owner
while IFS= read -r header; do
    owner[$(basename "$header")]=$(dirname "$header")
done < <(find "$engine" "$control" "$public" -name '*.h' | sort)

layer_of() {  # folder -> layer name
    case "$1" in
        "$engine") echo engine ;;
        "$engine"/socket/proxy) echo socket ;;
        "$engine"/*) basename "$1" ;;
        "$control"/platform) echo platform ;;
        "$control" | "$control"/module) echo control ;;
        "$public") echo public ;;
        *) echo other ;;
    esac
}

# The layers each layer may include besides itself.
# The public headers (include/zan_tunnel) include only each other, and every
# layer may include them.
declare -A allowed=(
    [public]=""
    [core]="public"
    [cipher]="core public"
    [crypto]="cipher core public"
    [packet]="crypto cipher core public"
    [socket]="packet crypto cipher core public"
    [stack]="packet crypto cipher core public"
    [recording]="packet crypto cipher core public"
    [recorder]="recording packet crypto cipher core public"
    [engine]="socket stack recording recorder packet crypto cipher core public"
    [platform]="core public"
    [control]="engine platform stack recording recorder packet crypto cipher core public"
)

violation() {
    echo "layer violation: $1"
    failures=$((failures + 1))
}

check_file() {
    local file=$1 layer=$2 line name target target_layer
    while IFS= read -r line; do
        name=${line#*\"}; name=${name%%\"*}
        target=${owner[$name]:-}
        [[ -z $target ]] && continue
        target_layer=$(layer_of "$target")
        if [[ $target_layer != "$layer" && " ${allowed[$layer]} " != *" $target_layer "* ]]; then
            violation "$file ($layer) includes $name ($target_layer)"
        fi
        if [[ $name == CTunnel.h && $layer != engine && $layer != control ]]; then
            violation "$file ($layer) includes CTunnel.h"
        fi
        if [[ $layer == control && $target_layer == socket ]]; then
            violation "$file (control) includes the socket header $name"
        fi
    done < <(grep -E '^\s*#\s*include\s+"' "$file" || true)

    if [[ $file == "$engine"/* && $file != "$engine/socket/CNetworkSocket.cpp" ]] &&
        grep -qE '^\s*#\s*include\s+<(asio|sys/socket\.h|netinet/|arpa/|netdb\.h|linux/)' "$file"; then
        violation "$file ($layer) includes asio or an OS socket header"
    fi
}

while IFS= read -r file; do
    check_file "$file" "$(layer_of "$(dirname "$file")")"
done < <(find "$engine" "$control" "$public" \( -name '*.h' -o -name '*.cpp' \) | sort)

if ((failures > 0)); then
    echo "check-layers: $failures violation(s)"
    exit 1
fi
echo "check-layers: every include follows the layering"

#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds examples/host against the
# installed files alone, once through the CMake package and once through
# pkg-config, and runs each build through a UDP tunnel on loopback: an
# installed zan-tunnel calls the host's tunnel and forwards datagrams that
# the test sends it; the host must report having received them.
#   install_test.sh BUILD_DIR SOURCE_DIR [SANITIZERS]
set -euo pipefail
build=$1
source=$2
sanitizers=${3:-}

if [[ -n $sanitizers ]]; then
    # The installed module carries the sanitizer runtime's references; a host
    # built outside the tree without the same runtime cannot load it, so the
    # test would measure the toolchain, not the package.
    echo "skipped: a $sanitizers build installs a module that only sanitized hosts can load"
    exit 77
fi

work=$(mktemp -d /tmp/zan-install-test.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libZAN_Tunnel.so.1' | head -1)")
echo "installed into $prefix (module in $libdir)"

# The installed headers stand alone: none names a header that is not installed.
for header in "$prefix"/include/zan_tunnel/*.h; do
    echo "#include <zan_tunnel/$(basename "$header")>" | c++ -std=c++20 -fsyntax-only -I"$prefix/include" -x c++ - ||
        { echo "FAIL: $header does not compile alone"; exit 1; }
done

# 1. CMake package.
cmake -S "$source/examples/host" -B "$work/host-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/host-cmake" >/dev/null
# 2. pkg-config, from the installed .pc file alone.
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
c++ "$source/examples/host/host.cpp" -o "$work/host-pkgconfig" $(pkg-config --cflags --libs zan-tunnel)

# A free UDP port on loopback, from the kernel.
free_port() {
    python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' 2>/dev/null ||
        echo $((20000 + RANDOM % 30000))
}

run_host() {
    local host=$1 label=$2
    local port media out=$work/$label.out
    port=$(free_port)
    media=$(free_port)
    LD_LIBRARY_PATH=$libdir "$host" "$port" 4 >"$out" 2>&1 &
    local hostPid=$!
    pids+=("$hostPid")
    "$prefix/bin/zan-tunnel" --destination "127.0.0.1:$port" --receive-address 127.0.0.2 \
        --receive-port "$media" --duration 4 >/dev/null 2>&1 &
    pids+=($!)
    sleep 0.5
    for _ in $(seq 1 25); do
        printf 'through the tunnel' >"/dev/udp/127.0.0.2/$media" || true
        sleep 0.1
    done
    wait "$hostPid" || { echo "FAIL: $label host exited with $?"; cat "$out"; exit 1; }
    cat "$out"
    grep -q '^Start: 0x00000000$' "$out" || { echo "FAIL: $label host did not start"; exit 1; }
    grep -qE '^received [1-9][0-9]* datagrams$' "$out" || { echo "FAIL: $label host received nothing"; exit 1; }
    echo "ok: $label"
}

run_host "$work/host-cmake/host" find_package
run_host "$work/host-pkgconfig" pkg-config

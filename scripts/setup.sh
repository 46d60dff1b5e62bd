#!/usr/bin/env bash
# Installs every Debian package the project builds, tests and runs with.
# Idempotent: quiet and quick when everything is already there.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config dpkg-dev file
  libasio-dev libssl-dev libntlm0-dev libproxy-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
  squid iproute2
  groff-base libpcap-dev nlohmann-json3-dev tcpdump
)
if [[ "${1:-}" == "--fuzz" ]]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "setup: installing ${missing[*]}"
sudo_cmd=()
[[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# The proxy tests start their own squid on a loopback port; the packaged
# service is not needed and must not hold port 3128.
if [[ " ${missing[*]} " == *" squid "* ]] && command -v systemctl >/dev/null; then
  "${sudo_cmd[@]}" systemctl disable --now squid >/dev/null 2>&1 || true
fi

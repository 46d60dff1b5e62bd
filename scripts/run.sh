#!/usr/bin/env bash
# Builds the default preset and runs the tunnel host's embedded demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh default
exec build/default/tools/zan-tunnel/zan-tunnel demo "$@"

#!/usr/bin/env bash
# Configures and builds one preset (default when none is given).
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
if [[ "$preset" == fuzz ]]; then scripts/setup.sh --fuzz; else scripts/setup.sh; fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"

#!/usr/bin/env bash
# Builds and runs the whole test suite in the default, asan and tsan presets.
# Fails when any build or any test fails. Pass preset names to run fewer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
echo "=== layering"
scripts/check-layers.sh
presets=("$@")
[[ ${#presets[@]} -eq 0 ]] && presets=(default asan tsan)
for preset in "${presets[@]}"; do
  echo "=== $preset: build"
  scripts/build.sh "$preset"
  echo "=== $preset: test"
  ctest --preset "$preset"
done

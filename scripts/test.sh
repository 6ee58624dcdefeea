#!/usr/bin/env bash
# Builds the default preset and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh native
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default -j2

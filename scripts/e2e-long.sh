#!/usr/bin/env bash
# The longer end-to-end scenarios (100 Mbit/s, unshaped 10 Gb/s reading, uneven directions,
# a stop from the responder, three copies on one bridge), a minute or so each. Needs root.
# Usage: scripts/e2e-long.sh [build dir, default build-e2e]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-e2e}
cmake --build "$build" -j4 --target e2e_tests
exec timeout 900 "$build/tests/e2e_tests" --gtest_filter='EndToEndLong/*:EndToEndLong.*:EndToEndLongModel.*'

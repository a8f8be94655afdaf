#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, runs each fuzz target for a bounded time, runs the end-to-end
# scenarios from a build without sanitizers (their verdicts need the system at full speed),
# then runs every other test (last, so its summary closes the output). Any failure or
# sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp

cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVANTA_SANITIZE=ON -DSORVANTA_BENCH=ON
cmake --build build-test -j "$jobs"
cmake -S . -B build-e2e -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVANTA_SANITIZE=OFF
cmake --build build-e2e -j "$jobs" --target e2e_tests

bash scripts/fuzz.sh "${FUZZ_SECONDS:-30}"

status=0
ctest --test-dir build-e2e --output-on-failure -R '^EndToEnd[./]' || status=1
ctest --test-dir build-test --output-on-failure -j "$jobs" || status=1
exit "$status"

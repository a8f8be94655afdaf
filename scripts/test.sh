#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, runs each fuzz target for a bounded time, then runs every
# test (last, so its summary closes the output). Any failure or sanitizer report fails
# the run.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp

cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVANTA_SANITIZE=ON -DSORVANTA_BENCH=ON
cmake --build build-test -j "$jobs"

bash scripts/fuzz.sh "${FUZZ_SECONDS:-30}"

ctest --test-dir build-test --output-on-failure -j "$jobs"

#!/usr/bin/env bash
# Installs what is missing, builds the desktop application (optimised, no tests) and starts
# it. Arguments go to the program, e.g. `bash scripts/run.sh -SorvantaSaveReports YES`.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build-app -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVANTA_TESTS=OFF >/dev/null
cmake --build build-app -j "$(nproc)" --target sorvanta
exec build-app/sorvanta "$@"

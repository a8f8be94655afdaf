#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number of
# seconds (default 30), starting from the seed corpus kept in fuzz/corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}

if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ not found, fuzz targets not run" >&2
  exit 1
fi
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSORVANTA_FUZZ=ON -DSORVANTA_TESTS=OFF >/dev/null
# Only the fuzz targets: they need the records, the platform layer and the engines, not
# the rest.
targets=()
for source in fuzz/fuzz_*.cpp; do
  targets+=(--target "$(basename "$source" .cpp)")
done
cmake --build build-fuzz -j "$(nproc)" "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
shopt -s nullglob
targets=(build-fuzz/fuzz/fuzz_*)
status=0
for target in "${targets[@]}"; do
  name=$(basename "$target")
  work=$(mktemp -d)
  if [ -d "fuzz/corpus/$name" ]; then
    cp -r "fuzz/corpus/$name/." "$work/"
  fi
  echo "fuzz: $name for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
      -print_final_stats=1 -artifact_prefix="$work/" "$work" 2>"$work.log"; then
    tail -n 60 "$work.log"
    echo "fuzz: $name FAILED (artifacts in $work)"
    status=1
  else
    grep -E 'stat::number_of_executed_units' "$work.log" || true
  fi
done
echo "fuzz: ${#targets[@]} targets run"
exit $status

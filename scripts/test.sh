#!/usr/bin/env bash
# Builds and runs the whole test suite: a plain build, then the same tests under
# AddressSanitizer + UndefinedBehaviorSanitizer, then the fuzz targets for a
# bounded time. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

./scripts/setup.sh

jobs=$(nproc)
export CTEST_OUTPUT_ON_FAILURE=1
# Compiler cache entries are shared between checkouts of the tree.
export CCACHE_BASEDIR="$root"
start=$(date +%s)

build() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

echo "== plain build"
build build -DCMAKE_BUILD_TYPE=Release
ctest --test-dir build -j "$jobs" --timeout 600

# The sanitizer build also carries the fuzz targets when clang is there:
# one instrumented build serves both.
sanitizer=(-DCMAKE_BUILD_TYPE=Debug -DNIMBRA_SANITIZE=ON -DNIMBRA_BENCH=OFF -DCMAKE_CXX_FLAGS=-g1)
fuzz=0
if command -v clang++ >/dev/null && ls fuzz/*.cpp >/dev/null 2>&1; then fuzz=1; fi
echo "== sanitizer build (ASan + UBSan)"
if ((fuzz)); then
  CC=clang CXX=clang++ build build-asan "${sanitizer[@]}" -DNIMBRA_FUZZ=ON
else
  build build-asan "${sanitizer[@]}"
fi
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j "$jobs" --timeout 900

if ((fuzz)); then
  echo "== fuzz targets (bounded)"
  for target in build-asan/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    corpus=build-asan/corpus/$name
    mkdir -p "$corpus"
    seeds=()
    [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
    echo "-- $name"
    "$target" -max_total_time="${NIMBRA_FUZZ_SECONDS:-20}" -rss_limit_mb=2048 -print_final_stats=0 \
      "$corpus" "${seeds[@]}" 2>&1 | tail -n 3
  done
fi
echo "== all tests passed in $(( $(date +%s) - start )) s"

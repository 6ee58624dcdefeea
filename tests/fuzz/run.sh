#!/bin/sh
# Builds the libFuzzer targets with clang, the address and the undefined-
# behaviour sanitizers, and runs each for a bounded time.
#
#   tests/fuzz/run.sh [SECONDS_PER_TARGET] [BUILD_DIR]
#
# Defaults: 30 seconds, build-fuzz/ in the repository. Exits nonzero when a
# target finds a crash; the reproducer is left in the build directory.
set -eu

seconds=${1:-30}
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${2:-$root/build-fuzz}
mkdir -p "$build"
build=$(cd "$build" && pwd)

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
  -DBREVANE_SANITIZE=address,undefined \
  -DBREVANE_FUZZ=ON -DBREVANE_SIM=OFF -DBREVANE_BENCH=OFF >/dev/null

targets="fuzz_typed_value fuzz_identity"
cmake --build "$build" --target $targets

for target in $targets; do
  corpus="$build/fuzz-corpus/$target"
  mkdir -p "$corpus"
  echo "== $target: $seconds s"
  # close_fd_mask=1: the decoder's "BadRep" and the like would flood stdout.
  (cd "$build" && "$build/bin/$target" -max_total_time="$seconds" -close_fd_mask=1 \
     -print_final_stats=1 "$corpus")
done

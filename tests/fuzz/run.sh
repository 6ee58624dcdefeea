#!/bin/sh
# Builds the libFuzzer targets with clang, the address and the undefined-
# behaviour sanitizers, and runs each for a bounded time, two at a time (one
# process each; the stage then takes half the sum of their times).
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

targets="fuzz_typed_value fuzz_identity fuzz_backup_file fuzz_backup_replies
         fuzz_programmer_replies fuzz_modbus"
cmake --build "$build" --target $targets

run() {
  target=$1
  corpus="$build/fuzz-corpus/$target"
  mkdir -p "$corpus"
  # close_fd_mask=1: the decoder's "BadRep" and the like would flood stdout.
  # Each target's report goes to its own log, shown once it has ended.
  if (cd "$build" && "$build/bin/$target" -max_total_time="$seconds" -close_fd_mask=1 \
        -print_final_stats=1 "$corpus") >"$build/$target.log" 2>&1; then
    status=0
  else
    status=$?
  fi
  echo "== $target: $seconds s"
  cat "$build/$target.log"
  return $status
}

failed=""
set -- $targets
while [ $# -gt 0 ]; do
  first=$1
  shift
  run "$first" &
  first_pid=$!
  second_pid=""
  if [ $# -gt 0 ]; then
    second=$1
    shift
    run "$second" &
    second_pid=$!
  fi
  wait "$first_pid" || failed="$failed $first"
  if [ -n "$second_pid" ]; then
    wait "$second_pid" || failed="$failed $second"
  fi
done
if [ -n "$failed" ]; then
  echo "fuzzing found a fault in:$failed (reproducers in $build)" >&2
  exit 1
fi

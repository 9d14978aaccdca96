#!/bin/sh
# Builds the benchmark (optimised, no sanitizers) and runs it; as root.
#   bench/run.sh [rounds]        the card writer's write path against dd, whole processes
#   bench/run.sh cli [rounds]    the command line against dd, whole processes
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = cli ]; then
  shift
  exec bash "$root/bench/cli-vs-dd.sh" "$@"
fi
build="$root/build/bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUENVORY_SANITIZE=OFF -DQUENVORY_TESTS=ON >/dev/null
cmake --build "$build" --target quenvory_bench -j2 >/dev/null
exec "$build/bench/quenvory_bench" "$@"

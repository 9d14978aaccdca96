#!/bin/sh
# Builds the benchmark (optimised, no sanitizers) and runs it; as root.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUENVORY_SANITIZE=OFF -DQUENVORY_TESTS=ON >/dev/null
cmake --build "$build" --target quenvory_bench -j2 >/dev/null
exec "$build/bench/quenvory_bench" "$@"

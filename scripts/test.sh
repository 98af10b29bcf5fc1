#!/bin/bash
# Builds everything and runs the whole test suite.
#   scripts/test.sh            plain build in build/
#   scripts/test.sh --sanitize AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
#   QV_WERROR=ON               warnings are errors (as in CI)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
jobs=$(nproc)
if [ "${1:-}" = "--sanitize" ]; then
    dir=build-asan
    export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:abort_on_error=0"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON -DQV_BENCH=OFF \
        -DQV_WERROR="${QV_WERROR:-OFF}" >/dev/null
else
    dir=build
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_WERROR="${QV_WERROR:-OFF}" >/dev/null
fi
cmake --build "$dir" -j "$jobs"
ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 600

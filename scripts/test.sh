#!/bin/bash
# Builds everything and runs the whole test suite.
#   scripts/test.sh            plain build in build/
#   scripts/test.sh --sanitize AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
#   --build-only, --tests-only one of the two steps (CI builds the next tree while the tests run)
#   QV_WERROR=ON               warnings are errors (as in CI)
set -euo pipefail
cd "$(dirname "$0")/.."
sanitize=0 build=1 tests=1
for arg in "$@"; do
    case "$arg" in
    --sanitize) sanitize=1 ;;
    --build-only) tests=0 ;;
    --tests-only) build=0 ;;
    *) echo "usage: scripts/test.sh [--sanitize] [--build-only | --tests-only]" >&2; exit 2 ;;
    esac
done
./scripts/setup.sh
jobs=$(nproc)
if [ "$sanitize" = 1 ]; then
    dir=build-asan
    export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:abort_on_error=0"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
    configure=(-DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON -DQV_BENCH=OFF)
else
    dir=build
    configure=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
fi
if [ "$build" = 1 ]; then
    cmake -S . -B "$dir" -G Ninja "${configure[@]}" -DQV_WERROR="${QV_WERROR:-OFF}" >/dev/null
    cmake --build "$dir" -j "$jobs"
fi
if [ "$tests" = 1 ]; then
    # From inside the folder: ctest --test-dir needs CMake 3.20, the build itself 3.18.
    (cd "$dir" && ctest -j "$jobs" --output-on-failure --timeout 600)
fi

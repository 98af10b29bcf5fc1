#!/bin/bash
# Builds the fuzz targets with clang and runs each one briefly from its seed corpus.
#   FUZZ_SECONDS (default 60) per target; the targets run side by side. QV_WERROR=ON: warnings are errors.
#   --build-only, --run-only: one of the two steps (CI builds them while the TSan tests run).
# An input that takes more than 10 s, a process above 1 GiB or a single allocation above 512 MiB
# counts as a finding: small files must not cost the decoders hundreds of MiB or seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
step=${1:-}
case "$step" in
"" | --build-only | --run-only) ;;
*) echo "usage: scripts/fuzz.sh [--build-only | --run-only]" >&2; exit 2 ;;
esac
./scripts/setup.sh
targets=$(ls fuzz/fuzz_*.cpp 2>/dev/null || true)
[ -n "$targets" ] || { echo "no fuzz targets"; exit 0; }
if [ "$step" != --run-only ]; then
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DFUZZ=ON -DQV_TESTS=OFF -DQV_BENCH=OFF -DQV_WERROR="${QV_WERROR:-OFF}" >/dev/null
    # Only the fuzz targets: the shared libraries do not link against the sanitizer runtimes.
    cmake --build build-fuzz -j "$(nproc)" --target $(for s in $targets; do basename "$s" .cpp; done)
fi
[ "$step" != --build-only ] || exit 0
secs=${FUZZ_SECONDS:-60}
pids=()
for src in $targets; do
    name=$(basename "$src" .cpp); short=${name#fuzz_}
    work=build-fuzz/corpus-$short; rm -rf "$work"; mkdir -p "$work"
    [ -d "fuzz/corpus/$short" ] && cp -r "fuzz/corpus/$short/." "$work/"
    ( "build-fuzz/fuzz/$name" -max_total_time="$secs" -rss_limit_mb=1024 -malloc_limit_mb=512 -timeout=10 -close_fd_mask=2 -print_final_stats=1 \
        -artifact_prefix="build-fuzz/$short-" "$work" >"build-fuzz/$short.log" 2>&1 \
      && echo "fuzz $short: ok" || { echo "fuzz $short: FAILED"; tail -40 "build-fuzz/$short.log"; exit 1; } ) &
    pids+=($!)
done
rc=0
for p in "${pids[@]}"; do wait "$p" || rc=1; done
exit $rc

#!/bin/bash
# The product build, as a packager makes it: no test or benchmark packages (-DQV_TESTS=OFF
# -DQV_BENCH=OFF), nothing built but the deliverables, installed under the default prefix /usr,
# and the installed devprobe runs on the installed driver folder.
#   scripts/check_driver_build.sh [build folder]    (default build-driver; it is made anew)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-driver}
rm -rf "$dir"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_TESTS=OFF -DQV_BENCH=OFF \
    -DQV_WERROR="${QV_WERROR:-OFF}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
fail() { echo "check_driver_build: $*"; exit 1; }
extra=$(ninja -C "$dir" -t targets all | grep -E '\.a:|tablegen|test_|bench_|fuzz_' || true)
[ -z "$extra" ] || fail "the driver-only build has more than the deliverables: $extra"
stage="$PWD/$dir/stage"
DESTDIR="$stage" cmake --install "$dir" >/dev/null
drv="$stage/usr/lib/biometric-authentication/drivers/extra/quvera-fingervein"
for f in "$drv/libveinsdk.so" "$drv/libs/libveinalg_"*.so "$drv/qvfv_config/config.json" "$stage/usr/bin/devprobe"; do
    [ -f "$f" ] || fail "not installed: $f"
done
# The staged folder stands in for the run path's. With its configuration found the driver counts
# (0 without lsusb), so the status is 0.
status=0
out=$(LD_LIBRARY_PATH="$drv" "$stage/usr/bin/devprobe" 2>&1) || status=$?
[ "$status" -eq 0 ] || fail "installed devprobe exited with $status: $out"
case "$out" in *"enum_device ret ["*) ;; *) fail "installed devprobe printed: $out" ;; esac
echo "check_driver_build: driver-only build installed and devprobe ran"

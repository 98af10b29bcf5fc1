#!/bin/bash
# Builds the driver, installs it into stage/ as the service's folder expects, runs devprobe against it,
# then the demonstration on the simulated scanner with the staged driver folder.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
rm -rf stage
drv=stage/usr/lib/biometric-authentication/drivers/extra/quvera-fingervein
DESTDIR="$PWD/stage" cmake --install build --prefix /usr >/dev/null
find stage -type f | sort
LD_LIBRARY_PATH="$PWD/$drv" stage/usr/bin/devprobe
# Enrols, captures and matches generated fingers; the frames and the driver's log land beside the program.
umockdev-wrapper build/tests/demo/demo "$PWD/$drv"

#!/bin/sh
# Runs the demonstration on a freshly installed driver folder and checks its last line.
#   check_demo.sh <build folder> <demo program> <work folder> [LD_PRELOAD=...]
set -eu
build=$1 demo=$2 work=$3 preload=${4:-}
rm -rf "$work"
mkdir -p "$work/frames"
DESTDIR="$work/stage" cmake --install "$build" --prefix /usr >/dev/null
drv="$work/stage/usr/lib/biometric-authentication/drivers/extra/quvera-fingervein"
status=0
if [ -n "$preload" ]; then
    env "$preload" "$demo" "$drv" "$work/frames" >"$work/output.txt" || status=$?
else
    "$demo" "$drv" "$work/frames" >"$work/output.txt" || status=$?
fi
cat "$work/output.txt"
[ "$status" -eq 77 ] && exit 77
expected="demo: enrol 0, capture 0, match same finger 0, match other finger -7"
if [ "$status" -ne 0 ] || [ "$(tail -n 1 "$work/output.txt")" != "$expected" ]; then
    echo "check_demo: exit status $status; the last line should be: $expected"
    [ -f "$work/frames/driver-log.txt" ] && cat "$work/frames/driver-log.txt"
    exit 1
fi
for f in enrol-1 enrol-2 enrol-3 capture-same-finger-1 capture-other-finger-1; do
    [ -s "$work/frames/$f.png" ] || { echo "check_demo: no $f.png"; exit 1; }
done

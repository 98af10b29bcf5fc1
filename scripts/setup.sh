#!/bin/sh
# Installs every Debian package the build, the tests, the benchmarks and the fuzz targets need.
set -e
PKGS="build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev \
libgtest-dev libgmock-dev googletest libbenchmark-dev \
libjsoncpp-dev libjpeg-dev libtiff-dev libpng-dev zlib1g-dev libudev-dev libopenjp2-7-dev \
umockdev libumockdev-dev binutils clang-format-14 ccache \
libjpeg-turbo-progs pngcheck libtiff-tools libopenjp2-tools netpbm"
# One query for all of them: the scripts run this before every build.
installed=" $(dpkg-query -W -f='${Package} ${Status}\n' $PKGS 2>/dev/null | awk '/ install ok installed$/ { printf "%s ", $1 }')"
missing=""
for p in $PKGS; do
    case "$installed" in *" $p "*) ;; *) missing="$missing $p" ;; esac
done
if [ -n "$missing" ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing
fi

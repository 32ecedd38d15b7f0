#!/bin/sh
# Installs the Debian packages that building, testing and running need.
# As root it runs apt-get itself; otherwise it prints the command to run.
# Extra groups on the command line add what only some targets need:
#   live      measuring the running panel on Xvfb and orvalinctl (make bench, make soak)
#   valgrind  the panel under memcheck (make valgrind)
#   fuzz      clang and its libFuzzer runtime (make fuzz)
#   mutate    python3, ninja and lld for the mutation run (make mutate)
#   install   checking the installed package (make install-check)
#   lint      lintian, which the package test then runs too
set -eu

# dpkg-dev and file: make package computes the package's dependencies from
# its programs (dpkg-shlibdeps). qt6-websockets-dev: Qt HTTP Server's CMake
# package requires it, but Debian 12's package does not pull it in. lintian is optional: the package test runs
# it where it is installed.
packages="g++ make cmake pkg-config qt6-base-dev qt6-serialport-dev libgl-dev
fonts-wqy-microhei libbenchmark-dev xvfb xauth libmosquitto-dev mosquitto
mosquitto-clients dpkg-dev file clang-format qt6-httpserver-dev qt6-websockets-dev
chromium chromium-driver python3-selenium"

for group in "$@"; do
    case $group in
    live) packages="$packages libx11-dev libxtst-dev hyperfine" ;;
    valgrind) packages="$packages valgrind" ;;
    fuzz) packages="$packages clang libclang-rt-14-dev" ;;
    mutate) packages="$packages python3 ninja-build lld" ;;
    install) packages="$packages desktop-file-utils man-db bash-completion x11-utils" ;;
    lint) packages="$packages lintian" ;;
    *)
        echo "deps.sh: unknown group '$group'" >&2
        exit 2
        ;;
    esac
done

missing=""
for p in $packages; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages:$missing" >&2
    echo "Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y$missing" >&2
    exit 1
fi

echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
# A fresh machine has no package lists yet.
apt-get update -qq
apt-get install -y -qq --no-install-recommends $missing

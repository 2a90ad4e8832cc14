# SPDX-License-Identifier: GPL-2.0-or-later
# Shared by the set-up and test scripts: Debian packages and the build.

PROJECT_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$PROJECT_ROOT/build}

# What a user needs to build the module against the installed host and use
# it: the same names in Debian 11, 12, 13 and unstable. Without libsndfile1-dev
# the module is built without the audio export.
HOST_PACKAGES=(cmake g++ make pkgconf libwireshark-dev libglib2.0-dev tshark
               libsndfile1-dev)
# What the tests need on top.
TEST_PACKAGES=(libwiretap-dev libgtest-dev python3 util-linux binutils valgrind
               clang-format clang-tidy cppcheck time)

install_missing_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

build_project() {
    cmake -S "$PROJECT_ROOT" -B "$BUILD_DIR" "$@"
    cmake --build "$BUILD_DIR" -j "$(nproc)"
}

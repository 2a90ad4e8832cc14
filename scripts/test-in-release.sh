#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs the test command (scripts/run-tests.sh) inside a minimal root of
# another Debian release, against that release's host:
#
#   scripts/test-in-release.sh bullseye        # Wireshark 3.4
#   scripts/test-in-release.sh trixie          # Wireshark 4.4
#   scripts/test-in-release.sh sid             # Wireshark 4.6
#   scripts/test-in-release.sh sid -R host     # extra arguments go to ctest
#
# The root is made with debootstrap and kept in $KESTRUNE_ROOTS_DIR
# (default /var/cache/kestrune-roots), outside the repository; it is made
# again when missing. The source is bind-mounted read-only, the build goes
# to a folder inside the root. Needs root (debootstrap, chroot, mount). The
# long campaigns (fuzz, bench) run natively only. If unstable's archive
# cannot be installed at the moment, testing (which carries the same host
# release) is used instead, and the output says so.
set -euo pipefail

release=${1:?usage: test-in-release.sh RELEASE [ctest arguments]}
shift
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

roots=${KESTRUNE_ROOTS_DIR:-/var/cache/kestrune-roots}
say() { echo "[$release] $*"; }
fail() { say "FAILED: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "needs root for debootstrap, chroot and mount"

# A root with the host and the test tools of that release; "ready" is
# written only once everything is installed, so a broken run is redone.
prepare_root() {
    local suite=$1 root=$roots/$1
    if [ ! -e "$root/.kestrune-ready" ]; then
        install_missing_packages debootstrap
        rm -rf --one-file-system "$root"
        mkdir -p "$roots"
        say "making a minimal $suite root in $root"
        debootstrap --variant=minbase "$suite" "$root" >"$roots/$suite-debootstrap.log" 2>&1 ||
            { tail -5 "$roots/$suite-debootstrap.log"; return 1; }
    fi
    # Brings the host up to the release's current version and installs what
    # the test command needs (it would install them itself, but this way a
    # broken archive is told apart from a failing test).
    # Unstable's and testing's Release files expire within days; a mirror
    # that is a snapshot of the archive would otherwise be refused outright.
    local apt=(chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get -q
               -o Acquire::Check-Valid-Until=false)
    "${apt[@]}" update >"$root/.install.log" 2>&1 &&
    "${apt[@]}" install -y --no-install-recommends "${HOST_PACKAGES[@]}" "${TEST_PACKAGES[@]}" \
        >>"$root/.install.log" 2>&1 ||
        { tail -5 "$root/.install.log"; return 1; }
    touch "$root/.kestrune-ready"
}

suite=$release
if ! prepare_root "$suite"; then
    [ "$release" = sid ] || fail "could not install the host packages in $release"
    suite=testing
    say "unstable's archive cannot be installed now; using testing, which carries the same host release"
    prepare_root "$suite" || fail "could not install the host packages in testing either"
fi
root=$roots/$suite

# A fresh build folder each time: a cached configuration must not hide a fault.
rm -rf "$root/var/tmp/kestrune-build"
mounts=()
cleanup() {
    local i
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount "${mounts[i]}" || umount -l "${mounts[i]}"; done
}
trap cleanup EXIT
mkdir -p "$root/src"
mount --bind "$PROJECT_ROOT" "$root/src" && mounts+=("$root/src")
mount -o remount,bind,ro "$root/src"
mount -t proc proc "$root/proc" && mounts+=("$root/proc")

say "host $(chroot "$root" pkg-config --modversion wireshark), $(chroot "$root" cat /etc/debian_version)"
chroot "$root" env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 BUILD_DIR=/var/tmp/kestrune-build \
    KESTRUNE_REQUIRE_ALL_CHECKS="${KESTRUNE_REQUIRE_ALL_CHECKS:-OFF}" \
    bash /src/scripts/run-tests.sh -LE '^(fuzz|bench)$' "$@" || fail "tests failed"
say "passed"

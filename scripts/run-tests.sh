#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds with the tests (warnings as errors) and runs every test with CTest.
# Extra arguments go to ctest, e.g. `-R host` or `-L fuzz`. With
# KESTRUNE_REQUIRE_ALL_CHECKS=ON (as in CI) a missing check tool is an error
# instead of a skipped check.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing_packages "${HOST_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
build_project -DKESTRUNE_WERROR=ON -DBUILD_TESTING=ON \
    -DKESTRUNE_REQUIRE_ALL_CHECKS="${KESTRUNE_REQUIRE_ALL_CHECKS:-OFF}"
cd "$BUILD_DIR"
ctest --output-on-failure -j "$(nproc)" "$@"

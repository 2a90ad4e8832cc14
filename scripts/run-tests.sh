#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds (warnings as errors) and runs every test with CTest. Extra
# arguments go to ctest, e.g. `-R host` or `-L fuzz`.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing_packages "${HOST_PACKAGES[@]}"
build_project -DKESTRUNE_WERROR=ON
cd "$BUILD_DIR"
ctest --output-on-failure -j "$(nproc)" "$@"

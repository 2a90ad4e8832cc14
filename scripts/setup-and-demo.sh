#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the host packages if they are missing, builds the plugin and
# decodes the bundled sample capture with the freshly built module. Nothing
# is written into system folders apart from the Debian packages.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing_packages "${HOST_PACKAGES[@]}"
build_project

# The host looks for plugins in <dir>/<major.minor>/epan.
stage=$(mktemp -d /tmp/kestrune-demo-XXXXXX)
trap 'rm -rf "$stage"' EXIT
chmod 755 "$stage"
host_version=$(pkg-config --modversion wireshark | cut -d. -f1,2)
mkdir -p "$stage/plugins/$host_version/epan" "$stage/home"
cp "$BUILD_DIR/simplekestrune.so" "$stage/plugins/$host_version/epan/"
# The private plugin folder replaces the host's: its codec modules (for the
# audio export) are linked in.
ln -s "$(pkg-config --variable=plugindir wireshark)/codecs" "$stage/plugins/$host_version/codecs"
audio="$BUILD_DIR/demo-audio"
rm -rf "$audio"
mkdir -p "$audio"
cp "$PROJECT_ROOT/samples/kestrune-sample.pcap" "$stage/"
chmod 644 "$stage/kestrune-sample.pcap"

run_tshark=(tshark)
if [ "$(id -u)" -eq 0 ]; then
    # The host ignores WIRESHARK_PLUGIN_DIR for root: decode as nobody instead.
    chown 65534:65534 "$stage/home" "$audio"
    run_tshark=(setpriv --reuid=65534 --regid=65534 --clear-groups tshark)
fi
export HOME="$stage/home" WIRESHARK_PLUGIN_DIR="$stage/plugins"

echo
echo "== Packet list of samples/kestrune-sample.pcap"
"${run_tshark[@]}" -r "$stage/kestrune-sample.pcap"
echo
echo "== Details of the first packet"
"${run_tshark[@]}" -r "$stage/kestrune-sample.pcap" -c 1 -O simplekestrune

if grep -q "simplekestrune,audio" <("${run_tshark[@]}" -z help 2>&1); then
    echo
    echo "== Voice streams exported as WAV files into $audio"
    "${run_tshark[@]}" -q -r "$stage/kestrune-sample.pcap" -z "simplekestrune,audio,$audio"
    echo "Play one with, for example: aplay $audio/192.0.2.10_4096-192.0.2.20_31000-s0.wav"
fi

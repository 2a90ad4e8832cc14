#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Takes pictures of the real Wireshark GUI, under Xvfb, showing the bundled
# sample. Run from anywhere after building into build/:
#   docs/make-screenshot.sh [VIEW] [output.png]
# VIEW is one of
#   details  a DTMF packet selected and the "Quorvane Simple Kestrune" tree
#            expanded (the default; docs/wireshark-gui.png)
#   streams  the Statistics › SimpleKestrune Streams window
#            (docs/wireshark-streams.png)
#   filter   a packet's context menu open at Conversation Filter ›
#            SimpleKestrune stream (docs/wireshark-stream-filter.png)
# Needs the Debian packages wireshark-qt, xvfb, imagemagick and xdotool.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
view=details
case "${1:-}" in details | streams | filter) view=$1; shift ;; esac
case $view in
    details) out=${1:-$root/docs/wireshark-gui.png} ;;
    streams) out=${1:-$root/docs/wireshark-streams.png} ;;
    filter) out=${1:-$root/docs/wireshark-stream-filter.png} ;;
esac
module=${KESTRUNE_MODULE:-$root/build/simplekestrune.so}
display=${KESTRUNE_DISPLAY:-:97}
frame=36  # a DTMF packet of session 0

for tool in wireshark Xvfb xdotool import; do
    command -v "$tool" >/dev/null || { echo "missing $tool (apt-get install wireshark-qt xvfb imagemagick xdotool)"; exit 1; }
done
[ -f "$module" ] || { echo "build the plugin first: $module not found"; exit 1; }

stage=$(mktemp -d /tmp/kestrune-gui-XXXXXX)
chmod 755 "$stage"
version=$(pkg-config --modversion wireshark | cut -d. -f1,2)
mkdir -p "$stage/plugins/$version/epan" "$stage/home/.config/wireshark" "$stage/runtime" \
    "$stage/extcap"
chmod 700 "$stage/runtime"
cp "$module" "$stage/plugins/$version/epan/simplekestrune.so"
cp "$root/samples/kestrune-sample.pcap" "$stage/"
chmod 644 "$stage/kestrune-sample.pcap"
# A fixed, plain look: no recent-files dialog state, default columns.
cat > "$stage/home/.config/wireshark/recent_common" <<'RECENT'
privs.warn_if_elevated: FALSE
gui.geometry_main_maximized: FALSE
RECENT
# Columns wide enough for "SimpleKestrune" and the whole Info text.
cat > "$stage/home/.config/wireshark/recent" <<'RECENT'
column.width: %m, 50, %t, 90, %s, 110, %d, 110, %p, 130, %L, 60, %i, 700
RECENT

as_user=()
if [ "$(id -u)" -eq 0 ]; then
    chown -R 65534:65534 "$stage/home" "$stage/runtime"
    as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi

screen=1280x900x24
[ "$view" = streams ] && screen=1600x900x24  # room for every column
Xvfb "$display" -screen 0 $screen -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
cleanup() {
    kill "${ws:-}" "$xvfb" 2>/dev/null || true
    rm -rf "$stage"
}
trap cleanup EXIT
sleep 1

extra=()
[ "$view" = streams ] && extra=(-z simplekestrune,streams)
# No capture interfaces are needed: an empty extcap folder spares the start-up
# from probing for them.
"${as_user[@]}" env DISPLAY="$display" HOME="$stage/home" WIRESHARK_PLUGIN_DIR="$stage/plugins" \
    WIRESHARK_EXTCAP_DIR="$stage/extcap" XDG_RUNTIME_DIR="$stage/runtime" QT_QPA_PLATFORM=xcb \
    wireshark -r "$stage/kestrune-sample.pcap" -g "$frame" "${extra[@]}" \
    >"$stage/wireshark.log" 2>&1 &
ws=$!

export DISPLAY=$display
window=$(xdotool search --sync --onlyvisible --name "kestrune-sample" | head -1)
xdotool windowmove "$window" 0 0 windowsize "$window" 1280 900
sleep 3
xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window"
case $view in
    details)
        # Focus the details pane (a click on its empty lower part), go to its
        # last top-level item, which is our protocol, and expand everything
        # below it.
        xdotool mousemove --window "$window" 300 800 click 1
        xdotool key --window "$window" --delay 300 Down End shift+Right
        sleep 2
        import -window root "$out"
        ;;
    streams)
        # Just the statistics window, wide enough for every column.
        table=$(xdotool search --sync --onlyvisible --name "SimpleKestrune Streams" | head -1)
        xdotool windowmove "$table" 0 0 windowsize "$table" 1560 260
        sleep 3
        import -window "$table" "$out"
        ;;
    filter)
        # Right-click the selected packet (the first row), then walk the
        # context menu with the keyboard: the ninth item is Conversation
        # Filter; in its submenu, going up from the top wraps to the last
        # entry, which is ours.
        xdotool mousemove --window "$window" 300 118 click 3
        sleep 1
        xdotool key --delay 150 Down Down Down Down Down Down Down Down Down Right Up
        sleep 2
        import -window root -crop 1000x720+0+0 "$out"
        ;;
esac
echo "wrote $out"

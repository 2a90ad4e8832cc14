#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Takes pictures of the real Wireshark GUI, under Xvfb, showing the bundled
# sample or a bad call made by the capture generator. Run from anywhere after
# building into build/:
#   docs/make-screenshot.sh [VIEW] [output.png]
# VIEW is one of
#   details  a DTMF packet selected and the "Quorvane Simple Kestrune" tree
#            expanded (the default; docs/wireshark-gui.png)
#   streams  the Statistics › SimpleKestrune Streams window
#            (docs/wireshark-streams.png)
#   filter   a packet's context menu open at Conversation Filter ›
#            SimpleKestrune stream (docs/wireshark-stream-filter.png)
#   analysis a two-way call with jitter and losses, the stream analysis as
#            added columns and a packet after a gap selected with its
#            "Stream Analysis" subtree (docs/wireshark-stream-analysis.png)
#   iograph  Statistics › I/O Graphs of a longer such call: the largest
#            jitter of each stream per second, and the same for the delta
#            ready in the graph table (docs/wireshark-io-graph.png)
#   intervals  Statistics › I/O Graphs of five minutes of a two-way call
#            that loses 20% for 40 s: each direction's interval MOS
#            (docs/wireshark-interval-mos.png)
#   delay    Statistics › I/O Graphs of two minutes of a call whose sender's
#            clock runs 0.1% slow and whose route gains 100 ms at 40 s: the
#            largest packet delay per second, a slow rise with a step
#            (docs/wireshark-delay-io-graph.png)
#   receivers  the Statistics › SimpleKestrune Receivers window for a
#            drifting call, a route change, a delay spike, a clean call and
#            two two-way calls with jitter and losses
#            (docs/wireshark-receivers.png)
#   calls    the Telephony › SimpleKestrune Calls window for six two-way
#            calls with jitter and losses (docs/wireshark-calls.png)
#   levels   the calls window for eight calls, four of them silent one way,
#            sorted by B→A Silent (%) (docs/wireshark-calls-levels.png)
#   flow     Statistics › Flow Graph of such calls, SimpleKestrune flows
#            (docs/wireshark-flow-graph.png)
#   rtpstreams  Telephony › RTP › RTP Streams for the bundled sample: its
#            streams as RTP streams, SSRC the Session ID, their DTMF, fax
#            and modem packets counted in sequence under payload names of
#            their own (docs/wireshark-rtp-streams.png)
#   rtpplayer   the RTP Player with all of the sample's streams selected in
#            RTP Streams and played: the waveforms the host's decoders make of
#            them, silence where the non-voice packets were
#            (docs/wireshark-rtp-player.png)
# Needs the Debian packages wireshark-qt (wireshark from Debian 13 on), xvfb,
# imagemagick and xdotool (receivers merges its calls with the host's
# mergecap, which comes with them). The player decodes with the host's codec
# modules, which it finds in the host's plugin folder; without them it lists
# the streams at 0 Hz and draws no waveform.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
view=details
case "${1:-}" in
    details | streams | filter | analysis | iograph | intervals | delay | receivers | calls | \
        levels | flow | rtpstreams | rtpplayer)
        view=$1; shift ;;
esac
case $view in
    details) out=${1:-$root/docs/wireshark-gui.png} ;;
    streams) out=${1:-$root/docs/wireshark-streams.png} ;;
    filter) out=${1:-$root/docs/wireshark-stream-filter.png} ;;
    analysis) out=${1:-$root/docs/wireshark-stream-analysis.png} ;;
    iograph) out=${1:-$root/docs/wireshark-io-graph.png} ;;
    intervals) out=${1:-$root/docs/wireshark-interval-mos.png} ;;
    delay) out=${1:-$root/docs/wireshark-delay-io-graph.png} ;;
    receivers) out=${1:-$root/docs/wireshark-receivers.png} ;;
    calls) out=${1:-$root/docs/wireshark-calls.png} ;;
    levels) out=${1:-$root/docs/wireshark-calls-levels.png} ;;
    flow) out=${1:-$root/docs/wireshark-flow-graph.png} ;;
    rtpstreams) out=${1:-$root/docs/wireshark-rtp-streams.png} ;;
    rtpplayer) out=${1:-$root/docs/wireshark-rtp-player.png} ;;
esac
module=${KESTRUNE_MODULE:-$root/build/simplekestrune.so}
generator=${KESTRUNE_GENERATOR:-$root/build/make_capture}
display=${KESTRUNE_DISPLAY:-:97}
frame=36  # a DTMF packet of session 0
capture=kestrune-sample.pcap
# Both directions of one G.711 call, up to 8 ms of jitter, 3% lost.
calls=(--calls 1 --two-way)
impairment=(--jitter 8 --loss 3 --seed 2)
case $view in
    # 4 seconds of a call, 3% lost: frame 15 is the first packet after a gap.
    analysis) frame=15 capture=bad-call.pcap call=(--count 400) ;;
    # 2 minutes, for 120 points a graph at the dialog's 1 s interval.
    iograph) frame=1 capture=bad-call.pcap call=(--count 12000) ;;
    # Five minutes, 20% lost and up to 40 ms of jitter from 120 s to 160 s.
    intervals) frame=1 capture=degraded.pcap call=(--count 30000)
        impairment=(--impair 120:160:20:40 --seed 3) ;;
    # Two minutes one way, up to 4 ms of jitter, the sender 1000 ppm slow
    # (the delay rises 1 ms a second), the route 100 ms longer from 40 s.
    delay) frame=1 capture=drifting.pcap calls=(--calls 1) call=(--count 6000)
        impairment=(--jitter 4 --drift -1000 --delay-step 100@40) ;;
    # Several calls merged into one capture, made below.
    receivers) frame=1 capture=receivers.pcap ;;
    # Three sessions from each of two gateways: six calls of 5 seconds.
    calls | flow) frame=1 capture=bad-calls.pcap calls=(--calls 3 --gateways 2 --two-way)
        call=(--count 3000) ;;
    # Four sessions from each of two gateways, the G.711 ones silent back.
    levels) frame=1 capture=gateways.pcap calls=(--calls 4 --gateways 2 --two-way)
        call=(--count 24000) impairment=(--silent-direction B) ;;
    rtpstreams | rtpplayer) frame=1 ;;
esac

tools=(wireshark Xvfb xdotool import)
[ "$view" = receivers ] && tools+=(mergecap)
for tool in "${tools[@]}"; do
    command -v "$tool" >/dev/null || { echo "missing $tool (apt-get install wireshark-qt xvfb imagemagick xdotool; wireshark instead of wireshark-qt from Debian 13 on)"; exit 1; }
done
[ -f "$module" ] || { echo "build the plugin first: $module not found"; exit 1; }
[ "$capture" = kestrune-sample.pcap ] || [ -x "$generator" ] ||
    { echo "build the capture generator first: $generator not found"; exit 1; }

stage=$(mktemp -d /tmp/kestrune-gui-XXXXXX)
chmod 755 "$stage"
version=$(pkg-config --modversion wireshark | cut -d. -f1,2)
mkdir -p "$stage/plugins/$version/epan" "$stage/home/.config/wireshark" "$stage/runtime" \
    "$stage/extcap"
chmod 700 "$stage/runtime"
cp "$module" "$stage/plugins/$version/epan/simplekestrune.so"
# WIRESHARK_PLUGIN_DIR replaces the host's own plugin folder, and with it
# the codec modules the RTP Player decodes with (G.711, G.722, G.726,
# G.729): linked in, as an ordinary install finds them.
host_codecs=$(pkg-config --variable=plugindir wireshark)/codecs
[ -d "$host_codecs" ] && ln -s "$host_codecs" "$stage/plugins/$version/codecs"
if [ "$capture" = kestrune-sample.pcap ]; then
    cp "$root/samples/kestrune-sample.pcap" "$stage/"
elif [ "$view" = receivers ]; then
    # One minute of each: two two-way calls with up to 30 ms of jitter and
    # 1% lost (sessions 1 and 2), then one-way calls from the same gateway
    # on sessions of their own: a sender 1000 ppm slow (G.729), a route
    # 100 ms longer from 20 s (G.726), a clean call, a spike of 150 ms at
    # 30 s (A-law). Each receiver's late packets and MOS differ with them.
    parts=()
    while read -r part options; do
        read -ra options <<<"$options"
        "$generator" --output "$stage/$part.pcap" "${options[@]}"
        parts+=("$stage/$part.pcap")
    done <<'CALLS'
jittery --calls 2 --two-way --count 12000 --jitter 30 --loss 1
drifting --calls 1 --session 5 --count 3000 --jitter 4 --drift -1000 --codec 3
rerouted --calls 1 --session 6 --count 3000 --jitter 4 --delay-step 100@20 --codec 7 --seed 7
clean --calls 1 --session 7 --count 3000 --seed 8
spike --calls 1 --session 8 --count 3000 --jitter 4 --spike 150@30 --codec 4 --seed 9
CALLS
    mergecap -w "$stage/$capture" "${parts[@]}"
    rm -f "${parts[@]}"
else
    "$generator" --output "$stage/$capture" "${calls[@]}" "${impairment[@]}" "${call[@]}"
fi
chmod 644 "$stage/$capture"
# A fixed, plain look: no recent-files dialog state, default columns.
cat > "$stage/home/.config/wireshark/recent_common" <<'RECENT'
privs.warn_if_elevated: FALSE
gui.geometry_main_maximized: FALSE
RECENT
if [ "$view" = analysis ]; then
    # The host's default columns with the stream analysis as custom columns
    # (field:occurrence:resolved) before Info, which takes the rest.
    cat > "$stage/home/.config/wireshark/preferences" <<'PREFS'
gui.column.format:
	"No.", "%m",
	"Time", "%t",
	"Source", "%s",
	"Destination", "%d",
	"Protocol", "%p",
	"Length", "%L",
	"Stream", "%Cus:kestrune.stream:0:R",
	"Delta (ms)", "%Cus:kestrune.analysis.delta:0:R",
	"Jitter (ms)", "%Cus:kestrune.analysis.jitter:0:R",
	"Lost", "%Cus:kestrune.analysis.lost:0:R",
	"Info", "%i"
PREFS
    # No bytes pane: the details get its room, for the selected packet's
    # analysis subtree.
    cat > "$stage/home/.config/wireshark/recent" <<'RECENT'
column.width: %m, 50, %t, 85, %s, 100, %d, 100, %p, 125, %L, 60, %Cus:kestrune.stream:0:R, 65, %Cus:kestrune.analysis.delta:0:R, 90, %Cus:kestrune.analysis.jitter:0:R, 90, %Cus:kestrune.analysis.lost:0:R, 50, %i, 300
gui.byte_view_show: FALSE
RECENT
else
    # Columns wide enough for "SimpleKestrune" and the whole Info text.
    cat > "$stage/home/.config/wireshark/recent" <<'RECENT'
column.width: %m, 50, %t, 90, %s, 110, %d, 110, %p, 130, %L, 60, %i, 700
RECENT
fi
if [ "$view" = intervals ]; then
    # Each direction's interval MOS, a line at the minimum per graph interval.
    cat > "$stage/home/.config/wireshark/io_graphs" <<'UAT'
"TRUE","Interval MOS, stream 0","kestrune.stream == 0","#1f77b4","Line","MIN(Y Field)","kestrune.analysis.interval.mos","None","1"
"TRUE","Interval MOS, stream 1","kestrune.stream == 1","#d62728","Line","MIN(Y Field)","kestrune.analysis.interval.mos","None","1"
UAT
fi
if [ "$view" = delay ]; then
    # The packets' delay, a line at the maximum per graph interval.
    cat > "$stage/home/.config/wireshark/io_graphs" <<'UAT'
"TRUE","Delay, stream 0","kestrune.stream == 0","#1f77b4","Line","MAX(Y Field)","kestrune.analysis.delay","None","1"
UAT
fi
if [ "$view" = iograph ]; then
    # The I/O Graphs dialog's own table (a UAT in the profile), fields in the
    # order the host writes them: enabled, name, display filter, colour,
    # style, Y axis, Y field, moving average, Y axis factor. The delta
    # graphs (about 20 ms, ten times the jitter) are there but off, so that
    # the jitter keeps a readable scale.
    cat > "$stage/home/.config/wireshark/io_graphs" <<'UAT'
"TRUE","Jitter, stream 0","kestrune.stream == 0","#1f77b4","Line","MAX(Y Field)","kestrune.analysis.jitter","None","1"
"TRUE","Jitter, stream 1","kestrune.stream == 1","#d62728","Line","MAX(Y Field)","kestrune.analysis.jitter","None","1"
"FALSE","Delta, stream 0","kestrune.stream == 0","#2ca02c","Dot","MAX(Y Field)","kestrune.analysis.delta","None","1"
"FALSE","Delta, stream 1","kestrune.stream == 1","#ff7f0e","Dot","MAX(Y Field)","kestrune.analysis.delta","None","1"
UAT
fi

as_user=()
if [ "$(id -u)" -eq 0 ]; then
    chown -R 65534:65534 "$stage/home" "$stage/runtime"
    as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi

screen=1280x900x24
case $view in
    streams | iograph | intervals | delay | flow | rtpplayer) screen=1600x900x24 ;;
    receivers) screen=1700x900x24 ;;
    calls) screen=1700x900x24 ;;
    levels) screen=2100x900x24 ;;
    rtpstreams) screen=2100x900x24 ;;
esac  # room for every column
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
[ "$view" = receivers ] && extra=(-z simplekestrune,receivers)
[ "$view" = calls ] || [ "$view" = levels ] && extra=(-z simplekestrune,calls)
# No capture interfaces are needed: an empty extcap folder spares the start-up
# from probing for them.
"${as_user[@]}" env DISPLAY="$display" HOME="$stage/home" WIRESHARK_PLUGIN_DIR="$stage/plugins" \
    WIRESHARK_EXTCAP_DIR="$stage/extcap" XDG_RUNTIME_DIR="$stage/runtime" QT_QPA_PLATFORM=xcb \
    wireshark -r "$stage/$capture" -g "$frame" "${extra[@]}" \
    >"$stage/wireshark.log" 2>&1 &
ws=$!

export DISPLAY=$display
window=$(xdotool search --sync --onlyvisible --name "${capture%.pcap}" | head -1)
xdotool windowmove "$window" 0 0 windowsize "$window" 1280 900
sleep 3
xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window"
case $view in
    details)
        # Focus the details pane (a click on its empty lower part, above
        # the bytes pane, which takes more room in 3.4), go to its last
        # top-level item, which is our protocol, and expand everything
        # below it.
        xdotool mousemove --window "$window" 300 560 click 1
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
    analysis)
        # As for details, but expand only the protocol's first level, then
        # everything below its last item, the "Stream Analysis" subtree.
        xdotool mousemove --window "$window" 300 800 click 1
        xdotool key --window "$window" --delay 300 Down End Right End shift+Right
        sleep 2
        import -window root "$out"
        ;;
    iograph | intervals | delay)
        # Statistics › I/O Graphs, from the menu bar with the keyboard; the
        # dialog draws the graphs of the io_graphs table above.
        xdotool key --window "$window" --delay 300 alt+s i
        graphs=$(xdotool search --sync --onlyvisible --name "I/O Graphs" | head -1)
        xdotool windowmove "$graphs" 0 0 windowsize "$graphs" 1560 860
        sleep 4
        # Widen the table's Y Field, Display Filter and Graph Name columns
        # (right to left, by dragging their headers' right edges) so that the
        # fields and filters can be read in full.
        for drag in "739 859" "323 423" "220 250"; do
            read -r from to <<<"$drag"
            xdotool mousemove --window "$graphs" "$from" 704 mousedown 1 \
                mousemove --window "$graphs" "$to" 704 mouseup 1
            sleep 0.5
        done
        # Focus back on the plot, so that the table shows no current cell.
        xdotool mousemove --window "$graphs" 400 650 click 1 mousemove 1590 890
        sleep 1
        import -window "$graphs" "$out"
        ;;
    receivers)
        # Just the statistics window, wide enough for every column.
        table=$(xdotool search --sync --onlyvisible --name "SimpleKestrune Receivers" | head -1)
        xdotool windowmove "$table" 0 0 windowsize "$table" 1640 250
        sleep 3
        import -window "$table" "$out"
        ;;
    calls)
        table=$(xdotool search --sync --onlyvisible --name "SimpleKestrune Calls" | head -1)
        xdotool windowmove "$table" 0 0 windowsize "$table" 1660 230
        sleep 3
        import -window "$table" "$out"
        ;;
    levels)
        table=$(xdotool search --sync --onlyvisible --name "SimpleKestrune Calls" | head -1)
        xdotool windowmove "$table" 0 0 windowsize "$table" 2060 330
        sleep 3
        # Sorted by B→A Silent (%), the last column: a click on its title
        # sorts ascending, a second descending.
        xdotool mousemove --window "$table" ${KESTRUNE_SORT_AT:-1990 20} click 1
        sleep 1
        xdotool click 1
        sleep 2
        import -window "$table" "$out"
        ;;
    flow)
        # Statistics › Flow Graph, from the menu bar with the keyboard: the
        # menu lists it without a mnemonic, 17th in 3.4, 18th in 4.0 and 4.4,
        # 19th from 4.6 on (which added Plots); KESTRUNE_FLOW_KEYS for other
        # hosts.
        downs=17
        [ "$(printf '%s\n' "$version" 4.6 | sort -V | head -1)" = 4.6 ] && downs=18
        [ "$(printf '%s\n' "$version" 4.0 | sort -V | head -1)" = 4.0 ] || downs=16
        xdotool key --window "$window" --delay 300 alt+s
        sleep 1
        xdotool key --delay 300 ${KESTRUNE_FLOW_KEYS:-$(printf 'Down %.0s' $(seq "$downs"))Return}
        graph=
        for _ in $(seq 20); do
            graph=$(xdotool search --onlyvisible --name "Flow" | head -1) && break
            sleep 0.5
        done
        [ -n "$graph" ] || { import -window root "$out"; echo "no Flow window; the screen is in $out"; exit 1; }
        xdotool windowmove "$graph" 0 0 windowsize "$graph" 1200 860
        sleep 3
        # The Flow type box (at its place in a dialog of that size): open
        # it and pick SimpleKestrune by typing its name.
        xdotool mousemove --window "$graph" 636 805 click 1
        sleep 1
        xdotool type --delay 100 SimpleKestrune
        xdotool key Return
        sleep 3
        import -window "$graph" "$out"
        ;;
    rtpstreams | rtpplayer)
        # Telephony › RTP › RTP Streams, from the menu bar with the keyboard
        # (the submenu opens on its first item). The host's RTP Stream
        # Analysis and RTP Player menu items stay off here: they look for an
        # "rtp" layer in the selected packet, and the RTP tools see our voice
        # packets only through the "rtp" tap; the streams list reaches both.
        xdotool key --window "$window" --delay 300 alt+y r
        sleep 1
        xdotool key --delay 300 Return
        table=$(xdotool search --sync --onlyvisible --name "RTP Streams" | head -1)
        if [ "$view" = rtpstreams ]; then
            # Wide enough for every column, from the addresses to Status.
            xdotool windowmove "$table" 0 0 windowsize "$table" 2080 250
            sleep 3
            import -window "$table" "$out"
        else
            # Every stream selected (a click on the first row, then Select
            # All), then Play Streams (Alt+P): the player decodes them with
            # the host's codecs and draws their waveforms. 3.4's RTP Streams
            # has no Play Streams button: there it is Analyze (no mnemonic,
            # clicked at its place in a dialog of that size), then Play
            # Streams in RTP Stream Analysis, which takes only the first two
            # selected streams and passes those on to the player.
            xdotool windowmove "$table" 0 0 windowsize "$table" 1560 260
            sleep 2
            xdotool mousemove --window "$table" 300 41 click 1
            if [ "$(printf '%s\n' "$version" 3.5 | sort -V | head -1)" = 3.5 ]; then
                xdotool key --window "$table" --delay 300 ctrl+a alt+p
            else
                xdotool key --window "$table" --delay 300 ctrl+a
                sleep 1
                xdotool mousemove --window "$table" 1422 236 click 1
                analysis=$(xdotool search --sync --onlyvisible --name "RTP Stream Analysis" | head -1)
                xdotool windowmove "$analysis" 0 0 windowsize "$analysis" 1560 860
                sleep 2
                xdotool mousemove --window "$analysis" 1406 836 click 1
            fi
            player=$(xdotool search --sync --onlyvisible --name "RTP Player" | head -1)
            xdotool windowmove "$player" 0 0 windowsize "$player" 1560 860
            sleep 4
            import -window "$player" "$out"
        fi
        ;;
esac
echo "wrote $out"

// SPDX-License-Identifier: GPL-2.0-or-later
//
// A module for the tests only, loaded into tshark beside simplekestrune.so.
// With KESTRUNE_PRINT_RTP_TAP set, it listens to the host's "rtp" tap as the
// RTP tools do and prints each report it receives, one line a report:
// "rtp" then frame, payload type, name, marker, sequence, extended sequence,
// timestamp, extended timestamp, SSRC, data length, all data present,
// payload offset, payload length, rate, and the raw RTP bytes in hex ("-"
// for what the release's record lacks or leaves empty). It asks for reports
// from datagrams quoted in ICMP errors too, which the host holds back from
// the RTP tools' listeners: it sees whatever the plugin queues.
// With KESTRUNE_PRINT_STREAM_FILTERS set, for every frame it prints what the GUI's Conversation
// Filter › "SimpleKestrune stream" would do for that packet selected:
// "<frame>\t<display filter>", or "<frame>\t-" when the entry is disabled.
// It calls the entry through the host's own list, after dissection, with
// the details built to be shown (run tshark with -V), as the GUI does.
// With KESTRUNE_PRINT_HIGHEST_SEVERITY set, after each frame it prints the
// capture's highest expert severity so far, as the GUI's status bar shows
// it: "severity\t<frame>\t<severity>". Its listener wants no tree.
// host_compat.h first: on 3.4 it brings the host's config.h, whose
// HAVE_PLUGINS the host's headers need to declare proto_register_plugin.
#include "dissector/host_compat.h"

#include <epan/expert.h>
#include <epan/tap.h>
#include <ws_symbol_export.h>

#include <cstdio>
#include <cstring>

namespace {

tap_packet_status print_filter(void* /*tapdata*/, packet_info* pinfo, epan_dissect_t* /*edt*/,
                               const void* /*data*/, kestrune::tap_flags /*flags*/) {
    for (GList* l = kestrune::packet_conversation_filters(); l != nullptr; l = l->next) {
        auto* f = static_cast<conversation_filter_t*>(l->data);
        if (std::strcmp(f->display_name, "SimpleKestrune stream") != 0) {
            continue;
        }
        char* text = kestrune::call_conversation_filter(f->is_filter_valid, pinfo)
                         ? kestrune::call_conversation_filter(f->build_filter_string, pinfo)
                         : nullptr;
        std::printf("%u\t%s\n", pinfo->num, text != nullptr ? text : "-");
        g_free(text);
    }
    return TAP_PACKET_DONT_REDRAW;
}

tap_packet_status print_rtp_report(void* /*tapdata*/, packet_info* pinfo, epan_dissect_t* /*edt*/,
                                   const void* data, kestrune::tap_flags /*flags*/) {
    const auto* rtp = static_cast<const _rtp_info*>(data);
    std::printf("rtp\t%u\t%u\t%s\t%d\t%u\t", pinfo->num, rtp->info_payload_type,
                rtp->info_payload_type_str != nullptr ? rtp->info_payload_type_str : "-",
                rtp->info_marker_set ? 1 : 0, rtp->info_seq_num);
    std::uint32_t extended_sequence = 0;
    std::uint64_t extended_timestamp = 0;
    const bool extended =
        kestrune::rtp_extended_numbers(rtp, &extended_sequence, &extended_timestamp);
    if (extended) {
        std::printf("%u\t%u\t%llu\t", extended_sequence, rtp->info_timestamp,
                    static_cast<unsigned long long>(extended_timestamp));
    } else {
        std::printf("-\t%u\t-\t", rtp->info_timestamp);
    }
    std::printf("%u\t%u\t%d\t%u\t%u\t%d\t", rtp->info_sync_src, rtp->info_data_len,
                rtp->info_all_data_present ? 1 : 0, rtp->info_payload_offset, rtp->info_payload_len,
                rtp->info_payload_rate);
    for (unsigned i = 0; rtp->info_data != nullptr && i < rtp->info_data_len; ++i) {
        std::printf("%02x", rtp->info_data[i]);
    }
    std::printf("\n");
    return TAP_PACKET_DONT_REDRAW;
}

tap_packet_status print_highest_severity(void* /*tapdata*/, packet_info* pinfo,
                                         epan_dissect_t* /*edt*/, const void* /*data*/,
                                         kestrune::tap_flags /*flags*/) {
    std::printf("severity\t%u\t%d\n", pinfo->num, expert_get_highest_severity());
    return TAP_PACKET_DONT_REDRAW;
}

int filter_listener;
int rtp_listener;
int severity_listener;

void listen_if_asked(const char* variable, const char* tap, void* id, guint flags,
                     tap_packet_cb callback) {
    if (g_getenv(variable) == nullptr) {
        return;
    }
    GString* error =
        register_tap_listener(tap, id, nullptr, flags, nullptr, callback, nullptr, nullptr);
    if (error != nullptr) {
        std::fprintf(stderr, "probe: %s\n", error->str);
        g_string_free(error, TRUE);
    }
}

void register_probe() {
    listen_if_asked("KESTRUNE_PRINT_STREAM_FILTERS", "frame", &filter_listener,
                    TL_REQUIRES_PROTO_TREE, kestrune::tap_callback<print_filter>);
    listen_if_asked("KESTRUNE_PRINT_RTP_TAP", "rtp", &rtp_listener, TL_REQUIRES_ERROR_PACKETS,
                    kestrune::tap_callback<print_rtp_report>);
    listen_if_asked("KESTRUNE_PRINT_HIGHEST_SEVERITY", "frame", &severity_listener, 0,
                    kestrune::tap_callback<print_highest_severity>);
}

}  // namespace

extern "C" {

WS_DLL_PUBLIC const char plugin_version[];
WS_DLL_PUBLIC const int plugin_want_major;
WS_DLL_PUBLIC const int plugin_want_minor;
WS_DLL_PUBLIC void plugin_register(void);
#if KESTRUNE_HOST_DESCRIBES_PLUGINS
WS_DLL_PUBLIC uint32_t plugin_describe(void);
uint32_t plugin_describe(void) {
    return WS_PLUGIN_DESC_DISSECTOR;
}
#endif

const char plugin_version[] = "0";
const int plugin_want_major = WIRESHARK_VERSION_MAJOR;
const int plugin_want_minor = WIRESHARK_VERSION_MINOR;

void plugin_register(void) {
    static const proto_plugin probe = {nullptr, register_probe};
    proto_register_plugin(&probe);
}
}

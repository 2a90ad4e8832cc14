// SPDX-License-Identifier: GPL-2.0-or-later
//
// A module for the tests only, loaded into tshark beside simplekestrune.so.
// With KESTRUNE_PRINT_STREAM_FILTERS set, for every frame it prints what the GUI's Conversation
// Filter › "SimpleKestrune stream" would do for that packet selected:
// "<frame>\t<display filter>", or "<frame>\t-" when the entry is disabled.
// It calls the entry through the host's own list, after dissection, with
// the details built to be shown (run tshark with -V), as the GUI does.
// host_compat.h first: on 3.4 it brings the host's config.h, whose
// HAVE_PLUGINS the host's headers need to declare proto_register_plugin.
#include "dissector/host_compat.h"

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

int listener;

void register_probe() {
    if (g_getenv("KESTRUNE_PRINT_STREAM_FILTERS") == nullptr) {
        return;
    }
    GString* error =
        register_tap_listener("frame", &listener, nullptr, TL_REQUIRES_PROTO_TREE, nullptr,
                              kestrune::tap_callback<print_filter>, nullptr, nullptr);
    if (error != nullptr) {
        std::fprintf(stderr, "filter probe: %s\n", error->str);
        g_string_free(error, TRUE);
    }
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

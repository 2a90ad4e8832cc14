// SPDX-License-Identifier: GPL-2.0-or-later
//
// The symbols the host's plugin loader looks up by name. They must have C
// linkage and default visibility; everything else in the module is hidden.
// host_compat.h first: on 3.4 it brings the host's config.h, whose
// HAVE_PLUGINS the host's headers need to declare proto_register_plugin.
#include "dissector/host_compat.h"

#include <epan/proto.h>
#include <ws_symbol_export.h>

#include "analysis_registration.h"
#include "port_binding.h"
#include "registration.h"

extern "C" {

WS_DLL_PUBLIC const char plugin_version[];
WS_DLL_PUBLIC const int plugin_want_major;
WS_DLL_PUBLIC const int plugin_want_minor;
WS_DLL_PUBLIC void plugin_register(void);
WS_DLL_PUBLIC void plugin_reg_handoff(void);
#if KESTRUNE_HOST_DESCRIBES_PLUGINS
WS_DLL_PUBLIC uint32_t plugin_describe(void);
#endif

const char plugin_version[] = "1.10.11.22";
const int plugin_want_major = WIRESHARK_VERSION_MAJOR;
const int plugin_want_minor = WIRESHARK_VERSION_MINOR;

void plugin_reg_handoff(void) {
    kestrune::register_udp_heuristic();
    kestrune::offer_packet_type_dissectors();
    kestrune::bind_selvagrid_port();
}

// The host calls the registration routine while it registers all protocols
// and the hand-off once they all exist.
void plugin_register(void) {
    static const proto_plugin simple_kestrune_plugin = {
        kestrune::register_simple_kestrune,
        plugin_reg_handoff,
    };
    proto_register_plugin(&simple_kestrune_plugin);
}

#if KESTRUNE_HOST_DESCRIBES_PLUGINS
// What the plugin list and Help > About > Plugins show as its type.
uint32_t plugin_describe(void) {
    return WS_PLUGIN_DESC_DISSECTOR;
}
#endif

}  // extern "C"

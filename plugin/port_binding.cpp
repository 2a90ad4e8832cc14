// SPDX-License-Identifier: GPL-2.0-or-later
#include "port_binding.h"

#include <epan/packet.h>

#include "dissector/identifiers.h"
#include "dissector/packet_dissector.h"
#include "registration.h"

namespace kestrune {
namespace {

constexpr const char* kUdpPortTable = "udp.port";

dissector_handle_t simple_kestrune_handle = nullptr;
unsigned int bound_port = 0;

// Whatever the host had at the bound port before we took it (for example
// TAPA on 5000): dissector_add_uint replaces the table entry outright, so it
// has to be put back by hand when the binding moves on.
dissector_handle_t displaced_initial = nullptr;
dissector_handle_t displaced_current = nullptr;

void take_port(unsigned int port) {
    displaced_initial = dissector_get_default_uint_handle(kUdpPortTable, port);
    displaced_current = dissector_get_uint_handle(find_dissector_table(kUdpPortTable), port);
    bound_port = port;
    dissector_add_uint(kUdpPortTable, port, simple_kestrune_handle);
}

void release_port() {
    dissector_delete_uint(kUdpPortTable, bound_port, simple_kestrune_handle);
    if (displaced_initial != nullptr) {
        dissector_add_uint(kUdpPortTable, bound_port, displaced_initial);
    }
    // A "Decode As" choice that was in force on that port comes back too.
    if (displaced_current != nullptr && displaced_current != displaced_initial) {
        dissector_change_uint(kUdpPortTable, bound_port, displaced_current);
    }
    displaced_initial = displaced_current = nullptr;
}

}  // namespace

void bind_selvagrid_port() {
    if (simple_kestrune_handle == nullptr) {
        simple_kestrune_handle =
            create_dissector_handle(dissect_simple_kestrune, proto_simple_kestrune);
        take_port(selvagrid_udp_port);
    } else if (selvagrid_udp_port != bound_port) {
        release_port();
        take_port(selvagrid_udp_port);
    }
    data_handle = find_dissector("data");
}

}  // namespace kestrune

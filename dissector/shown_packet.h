// SPDX-License-Identifier: GPL-2.0-or-later
// What the GUI's menus need of the packet it shows with its details: the
// conversation filter its session ID, Decode As its packet type. They are
// asked with the packet_info alone, after dissection, so the dissection
// leaves both there as per-packet data in the packet's own scope, packed
// into one pointer-sized value that is never null.
#pragma once

#include <epan/packet.h>
#include <epan/proto_data.h>

#include "identifiers.h"
#include "simple_packet_header.h"

namespace kestrune {

struct ShownPacket {
    unsigned session_id;
    unsigned packet_type;
};

inline void remember_shown_packet(packet_info* pinfo, const SimplePacketHeader& h) {
    // Session ID + 1 (13 bits, so that session 0 is not null), type above.
    const unsigned packed = (h.session_id + 1u) | (static_cast<unsigned>(h.packet_type) << 13);
    p_add_proto_data(pinfo->pool, pinfo, proto_simple_kestrune, 0, GUINT_TO_POINTER(packed));
}

// False when the packet shown was not one of ours.
inline bool shown_packet_of(packet_info* pinfo, ShownPacket* shown) {
    const unsigned packed =
        GPOINTER_TO_UINT(p_get_proto_data(pinfo->pool, pinfo, proto_simple_kestrune, 0));
    if (packed == 0) {
        return false;
    }
    shown->session_id = (packed & 0x1FFFu) - 1;
    shown->packet_type = packed >> 13;
    return true;
}

}  // namespace kestrune

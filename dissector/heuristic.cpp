// SPDX-License-Identifier: GPL-2.0-or-later
#include "packet_dissector.h"
#include "value_names.h"

namespace kestrune {

heuristic_verdict dissect_simple_kestrune_heur(tvbuff_t* tvb, packet_info* pinfo, proto_tree* tree,
                                               void* data) {
    // Decide from bytes known to be there: a heuristic must not throw.
    if (tvb_captured_length(tvb) < static_cast<guint>(kSimplePacketHeaderSize)) {
        return false;
    }
    const SimplePacketHeader h = read_simple_packet_header(tvb);
    if (kSimplePacketHeaderSize + h.payload_size != static_cast<int>(tvb_reported_length(tvb)) ||
        try_val_to_str(h.packet_type, packet_type_names) == nullptr) {
        return false;
    }
    dissect_simple_kestrune(tvb, pinfo, tree, data);
    return true;
}

}  // namespace kestrune

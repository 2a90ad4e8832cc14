// SPDX-License-Identifier: GPL-2.0-or-later
//
// The host hands a conversation filter only the packet_info of the selected
// packet, after dissection. The dissection routine leaves the session ID
// there (as per-packet protocol data in the packet's own scope) whenever it
// builds the details to be shown, as the GUI does for the selected packet.
#include "stream_filter.h"

#include <epan/to_str.h>

#include "dissector/host_compat.h"
#include "dissector/shown_packet.h"

namespace kestrune {
namespace {

bool stream_of(packet_info* pinfo, unsigned* session_id) {
    ShownPacket shown{};
    if (!shown_packet_of(pinfo, &shown) || pinfo->ptype != PT_UDP ||
        pinfo->src.type != pinfo->dst.type ||
        (pinfo->src.type != AT_IPv4 && pinfo->src.type != AT_IPv6)) {
        return false;
    }
    *session_id = shown.session_id;
    return true;
}

bool is_stream_filter_valid(packet_info* pinfo) {
    unsigned session_id = 0;
    return stream_of(pinfo, &session_id);
}

}  // namespace

char* build_stream_filter(packet_info* pinfo) {
    unsigned session_id = 0;
    if (!stream_of(pinfo, &session_id)) {
        return nullptr;
    }
    const char* ip = pinfo->src.type == AT_IPv6 ? "ipv6" : "ip";
    return g_strdup_printf(
        "%s.src == %s && %s.dst == %s && udp.srcport == %u && udp.dstport == %u && "
        "kestrune.simple_packet.session_id == %u",
        ip, address_to_str(pinfo->pool, &pinfo->src), ip, address_to_str(pinfo->pool, &pinfo->dst),
        pinfo->srcport, pinfo->destport, session_id);
}

void register_stream_filter() {
    PacketConversationFilter<is_stream_filter_valid, build_stream_filter>::add(
        register_conversation_filter, "simplekestrune", "SimpleKestrune stream");
}

}  // namespace kestrune

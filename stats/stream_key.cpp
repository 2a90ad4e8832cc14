// SPDX-License-Identifier: GPL-2.0-or-later
#include "stream_key.h"

#include <epan/to_str.h>

#include <cstdio>

namespace kestrune {

StreamKey stream_key_of(const TappedPacket& p) {
    StreamKey k{};
    copy_address_shallow(&k.src, &p.src);
    copy_address_shallow(&k.dst, &p.dst);
    k.src_port = p.src_port;
    k.dst_port = p.dst_port;
    k.session_id = p.header.session_id;
    return k;
}

std::string endpoint_text(const address& a, std::uint32_t port) {
    char* address_text = address_to_str(nullptr, &a);
    char* text = g_strdup_printf(a.type == AT_IPv6 ? "[%s]:%u" : "%s:%u", address_text, port);
    std::string s(text);
    g_free(text);
    wmem_free(nullptr, address_text);
    return s;
}

std::string stream_text(const StreamKey& k) {
    char session[16];
    (void)std::snprintf(session, sizeof session, "%u", static_cast<unsigned>(k.session_id));
    return endpoint_text(k.src, k.src_port) + " \u2192 " + endpoint_text(k.dst, k.dst_port) +
           " session " + session;
}

StreamKey reverse_of(const StreamKey& k) {
    StreamKey r{};
    copy_address_shallow(&r.src, &k.dst);
    copy_address_shallow(&r.dst, &k.src);
    r.src_port = k.dst_port;
    r.dst_port = k.src_port;
    r.session_id = k.session_id;
    return r;
}

}  // namespace kestrune

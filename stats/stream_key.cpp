// SPDX-License-Identifier: GPL-2.0-or-later
#include "stream_key.h"

#include <epan/to_str.h>

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

std::size_t StreamKeyHash::operator()(const StreamKey& k) const noexcept {
    guint h = k.session_id;
    h = add_address_to_hash(h, &k.src);
    h = add_address_to_hash(h, &k.dst);
    return (static_cast<std::size_t>(h) << 32) ^ (k.src_port << 16) ^ k.dst_port;
}

bool StreamKeyEqual::operator()(const StreamKey& a, const StreamKey& b) const noexcept {
    return a.session_id == b.session_id && a.src_port == b.src_port && a.dst_port == b.dst_port &&
           addresses_equal(&a.src, &b.src) && addresses_equal(&a.dst, &b.dst);
}

std::string endpoint_text(const address& a, std::uint32_t port) {
    char* text = address_to_str(nullptr, &a);
    std::string s = a.type == AT_IPv6 ? "[" + std::string(text) + "]" : std::string(text);
    wmem_free(nullptr, text);
    return s + ":" + std::to_string(port);
}

std::string stream_text(const StreamKey& k) {
    return endpoint_text(k.src, k.src_port) + " \u2192 " + endpoint_text(k.dst, k.dst_port) +
           " session " + std::to_string(k.session_id);
}

}  // namespace kestrune

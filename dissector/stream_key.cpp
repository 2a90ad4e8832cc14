// SPDX-License-Identifier: GPL-2.0-or-later
#include "stream_key.h"

namespace kestrune {

std::size_t stream_key_hash(const StreamKey& k) noexcept {
    guint h = k.session_id;
    h = add_address_to_hash(h, &k.src);
    h = add_address_to_hash(h, &k.dst);
    return (static_cast<std::size_t>(h) << 32) ^ (k.src_port << 16) ^ k.dst_port;
}

bool stream_keys_equal(const StreamKey& a, const StreamKey& b) noexcept {
    return a.session_id == b.session_id && a.src_port == b.src_port && a.dst_port == b.dst_port &&
           addresses_equal(&a.src, &b.src) && addresses_equal(&a.dst, &b.dst);
}

}  // namespace kestrune

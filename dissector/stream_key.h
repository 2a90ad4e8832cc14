// SPDX-License-Identifier: GPL-2.0-or-later
// A media stream is one direction of one session between two endpoints:
// (source address, source port, destination address, destination port,
// session ID), the way the host keys its RTP streams. The dissection's
// per-packet analysis and the tables behind the taps key their streams alike.
#pragma once

#include <epan/address.h>

#include <cstddef>
#include <cstdint>

namespace kestrune {

struct StreamKey {
    address src;  // owned by whoever holds the key, or borrowed for a look-up
    address dst;
    std::uint32_t src_port = 0;
    std::uint32_t dst_port = 0;
    std::uint16_t session_id = 0;
};

std::size_t stream_key_hash(const StreamKey& k) noexcept;
bool stream_keys_equal(const StreamKey& a, const StreamKey& b) noexcept;

struct StreamKeyHash {
    std::size_t operator()(const StreamKey& k) const noexcept { return stream_key_hash(k); }
};
struct StreamKeyEqual {
    bool operator()(const StreamKey& a, const StreamKey& b) const noexcept {
        return stream_keys_equal(a, b);
    }
};

}  // namespace kestrune

// SPDX-License-Identifier: GPL-2.0-or-later
#include "stream_key.h"

#include <cstring>

namespace kestrune {
namespace {

// Every packet's stream is looked up by this hash, so IPv4 and IPv6
// addresses are taken a word at a time (the host's add_address_to_hash goes
// byte by byte) and mixed once at the end.
constexpr std::uint64_t kOdd = 0x9E3779B97F4A7C15ull;

std::uint64_t word_at(const unsigned char* p) {
    std::uint32_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

std::uint64_t address_bits(const address& a) {
    const auto* p = static_cast<const unsigned char*>(a.data);
    std::uint64_t h = static_cast<std::uint64_t>(a.type) << 32;
    if (a.len == 4) {
        return h ^ word_at(p);
    }
    int i = 0;
    for (; i + 4 <= a.len; i += 4) {
        h = (h ^ word_at(p + i)) * kOdd;
    }
    for (; i < a.len; ++i) {
        h = (h ^ p[i]) * kOdd;
    }
    return h;
}

bool same_address(const address& a, const address& b) {
    if (a.type != b.type || a.len != b.len) {
        return false;
    }
    if (a.len == 4) {
        return word_at(static_cast<const unsigned char*>(a.data)) ==
               word_at(static_cast<const unsigned char*>(b.data));
    }
    return a.len == 0 || std::memcmp(a.data, b.data, static_cast<std::size_t>(a.len)) == 0;
}

}  // namespace

std::size_t stream_key_hash(const StreamKey& k) noexcept {
    std::uint64_t h = (static_cast<std::uint64_t>(k.session_id) << 32) ^
                      (static_cast<std::uint64_t>(k.src_port) << 16) ^ k.dst_port;
    h = (h ^ address_bits(k.src)) * kOdd;
    h = (h ^ (address_bits(k.dst) << 1)) * kOdd;
    return static_cast<std::size_t>(h ^ (h >> 31));
}

bool stream_keys_equal(const StreamKey& a, const StreamKey& b) noexcept {
    return a.session_id == b.session_id && a.src_port == b.src_port && a.dst_port == b.dst_port &&
           same_address(a.src, b.src) && same_address(a.dst, b.dst);
}

}  // namespace kestrune

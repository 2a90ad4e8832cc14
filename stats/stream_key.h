// SPDX-License-Identifier: GPL-2.0-or-later
// The streams that the tables behind the tap keep, and their names. Runs
// from the tap, after dissection, so ordinary C++ containers are safe here.
#pragma once

#include <epan/address.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "dissector/stream_key.h"
#include "dissector/tapped_packet.h"

namespace kestrune {

// A key that borrows the record's addresses: for look-ups only.
StreamKey stream_key_of(const TappedPacket& p);

// The same session the other way (B:b → A:a for A:a → B:b), borrowing k's
// addresses: for look-ups only.
StreamKey reverse_of(const StreamKey& k);

// "192.0.2.1:4096", "[2001:db8::1]:4096".
std::string endpoint_text(const address& a, std::uint32_t port);
// "192.0.2.1:4096 → 192.0.2.2:30000 session 42".
std::string stream_text(const StreamKey& k);

// The streams seen so far, each with its own copy of its key's addresses.
template <class Stream>
class StreamMap {
public:
    StreamMap() = default;
    StreamMap(const StreamMap&) = delete;
    StreamMap& operator=(const StreamMap&) = delete;
    ~StreamMap() {
        streams_.clear();
        if (pool_ != nullptr) {
            wmem_destroy_allocator(pool_);
        }
    }

    Stream* find(const StreamKey& borrowed) {
        auto it = streams_.find(borrowed);
        return it == streams_.end() ? nullptr : &it->second;
    }

    // Adds a stream that find() did not know. The reference stays valid
    // until clear().
    Stream& add(const StreamKey& borrowed) {
        if (pool_ == nullptr) {
            pool_ = wmem_allocator_new(WMEM_ALLOCATOR_BLOCK);
        }
        StreamKey owned = borrowed;
        copy_address_wmem(pool_, &owned.src, &borrowed.src);
        copy_address_wmem(pool_, &owned.dst, &borrowed.dst);
        return streams_.emplace(owned, Stream{}).first->second;
    }

    void clear() {
        streams_.clear();
        if (pool_ != nullptr) {
            wmem_free_all(pool_);
        }
    }

    std::size_t size() const { return streams_.size(); }
    auto begin() { return streams_.begin(); }
    auto end() { return streams_.end(); }

private:
    wmem_allocator_t* pool_ = nullptr;
    std::unordered_map<StreamKey, Stream, StreamKeyHash, StreamKeyEqual> streams_;
};

}  // namespace kestrune

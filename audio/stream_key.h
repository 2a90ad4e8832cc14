// SPDX-License-Identifier: GPL-2.0-or-later
// One media stream, the audio export's unit: one direction of one session
// between two endpoints, and the unwrapping of its 8-bit sequence numbers.
#pragma once

#include <epan/address.h>
#include <epan/packet_info.h>

#include <cstdint>
#include <string>
#include <tuple>

namespace kestrune::audio {

struct StreamKey {
    int address_type;
    std::string source;  // address bytes
    std::string destination;
    std::uint32_t source_port;
    std::uint32_t destination_port;
    std::uint16_t session_id;

    static StreamKey of(const packet_info* pinfo, std::uint16_t session_id) {
        auto bytes = [](const address& a) {
            return a.len > 0 ? std::string(static_cast<const char*>(a.data),
                                           static_cast<std::size_t>(a.len))
                             : std::string();
        };
        return {pinfo->src.type, bytes(pinfo->src), bytes(pinfo->dst),
                pinfo->srcport,  pinfo->destport,   session_id};
    }
    bool operator<(const StreamKey& o) const {
        return std::tie(address_type, source, destination, source_port, destination_port,
                        session_id) < std::tie(o.address_type, o.source, o.destination,
                                               o.source_port, o.destination_port, o.session_id);
    }
};

// Extends 8-bit sequence numbers to a count that does not wrap. A number up
// to half the sequence space behind the highest one is a late or repeated
// packet; further is taken as a jump ahead (the session statistics' rule).
class SequenceExtender {
public:
    std::int64_t extend(std::uint8_t sequence) {
        if (!started_) {
            started_ = true;
            highest_ = sequence;
            return highest_;
        }
        const auto low = static_cast<std::uint8_t>(highest_);
        const unsigned ahead = static_cast<std::uint8_t>(sequence - low);
        if (ahead != 0 && ahead < 128) {
            highest_ += ahead;
            return highest_;
        }
        return highest_ - static_cast<std::uint8_t>(low - sequence);
    }

private:
    bool started_ = false;
    std::int64_t highest_ = 0;
};

}  // namespace kestrune::audio

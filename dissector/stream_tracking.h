// SPDX-License-Identifier: GPL-2.0-or-later
// The per-packet stream analysis behind the "Stream Analysis" items: each
// Simple Packet is placed in its stream once, on the first pass in capture
// order, and what it told is kept with its frame so that a second pass, the
// GUI's random access and a reload show the same values.
#pragma once

#include <epan/packet.h>

#include <cstdint>

#include "analysis/sequence_tracker.h"
#include "host_compat.h"
#include "simple_packet_header.h"

namespace kestrune {

// One packet's results, kept for the life of the capture file: 32 bytes a
// packet (a frame may carry more than one Simple Packet, one per layer, as
// when an ICMP error quotes a datagram).
struct FrameAnalysis {
    std::uint32_t frame;
    std::uint32_t stream;  // index in order of first appearance, from 0
    // Arrival since the stream's previous packet, in ns (not on the first;
    // negative when the capture's clock ran backwards).
    std::int64_t delta_ns : 56;
    std::int64_t previous_codec : 8;
    std::uint32_t jitter_ns;  // after this packet; saturates at about 4.3 s
    std::uint8_t layer;
    std::uint8_t expected_sequence;
    std::uint8_t lost_before;
    std::uint8_t flags;
    // Where the packet stands on its stream's clocks, for the host's RTP
    // tools, which see the stream again whenever they are opened: its
    // sequence number with the wraps counted, and (with kHasMediaTime) its
    // media time in 8 kHz samples; both modulo 2^32.
    std::uint32_t extended_sequence;
    std::uint32_t media_samples;

    enum Flag : std::uint8_t {
        kVerdictMask = 0x07,  // the SequenceTracker::Verdict
        kHasJitter = 0x08,
        kCodecChanged = 0x10,
        kFilledGap = 0x20,
        kHasMediaTime = 0x40,
        // The stream's first packet after a score interval, or one on
        // which the fixed receiver resynchronised: records kept apart.
        kHasEvents = 0x80,
    };
    SequenceTracker::Verdict verdict() const {
        return static_cast<SequenceTracker::Verdict>(flags & kVerdictMask);
    }
    bool has(Flag f) const { return (flags & f) != 0; }
    // Something for the expert information: a gap, a late or repeated
    // packet, a codec change.
    bool has_news() const {
        const auto v = verdict();
        return (v != SequenceTracker::Verdict::First && v != SequenceTracker::Verdict::InOrder) ||
               has(kCodecChanged) || has(kHasEvents);
    }
};

// A score interval of a stream, kept with the packet that closed it (its
// stream's first packet after its end): 32 bytes an interval, apart from
// the records of every packet.
struct IntervalRecord {
    std::uint32_t frame;
    std::uint8_t layer;
    std::uint8_t flags;
    float mos;
    float r;
    float lost_percent;
    float max_jitter_ms;
    double start_s;  // on the playout clock, from the start of the capture

    enum Flag : std::uint8_t {
        kHasScore = 0x01,
        kHasJitter = 0x02,
    };
    bool has(Flag f) const { return (flags & f) != 0; }
};

// The n-th interval (from 0) that the analysed packet closed, or null.
const IntervalRecord* closed_interval(const FrameAnalysis& r, unsigned n);
// The length of the intervals, in seconds, while the capture was analysed.
double closed_interval_length_s();

// Where an analysed packet stood on its stream's path and what the fixed
// receiver did on it, from the record and its stream's own few records (no
// byte more a packet).
struct PacketPlayout {
    // A packet on its stream's media clock: its arrival minus its media
    // time, relative to the stream's first packet, going on across jumps.
    bool has_delay;
    double delay_ms;
    unsigned resynchronisations;  // of its stream, up to this packet
    bool resynchronised;          // on this packet
    bool jump;                    // ... for a jump rather than a route change
    double moved_ms;              // by this, positive when later
};
PacketPlayout packet_playout(const FrameAnalysis& r, const nstime_t& arrival);

// The "Analyze streams" preference: off, nothing is tracked or shown.
extern bool_preference analyze_streams;

// The packet's results: computed now on the first pass, looked up on later
// ones (null if the frame was never analysed, as when the preference was off
// on the first pass). Never throws.
const FrameAnalysis* track_stream_packet(packet_info* pinfo, const SimplePacketHeader& h);

// Forgets the streams with the capture file (the host's init routine).
void register_stream_tracking();

}  // namespace kestrune

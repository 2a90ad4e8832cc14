// SPDX-License-Identifier: GPL-2.0-or-later
// Analysis of one media stream (one direction of one session between two
// endpoints), in capture order: the sequence analysis, arrival deltas and
// RFC 3550 interarrival jitter. Pure arithmetic: no host dependency; the
// caller gives arrival times in ms from any fixed origin.
#pragma once

#include <cstdint>

#include "sequence_tracker.h"

namespace kestrune {

// The Simple Packet Type of voice packets; the others carry DTMF, fax and
// modem signals.
constexpr unsigned kVoicePacket = 0;

// The media time, in ms, that a Simple Packet's payload covers: known only
// for voice packets of codecs with a fixed bit rate. Negative otherwise.
double media_length_ms(unsigned packet_type, unsigned codec, unsigned payload_size);

struct StreamPacket {
    std::uint8_t sequence;
    std::uint16_t packet_type;
    std::uint16_t codec;
    std::uint16_t payload_size;
    double arrival_ms;
    std::uint32_t frame;
};

// What one packet told about its stream, as the packet list shows it.
struct PacketAnalysis {
    SequenceTracker::Verdict verdict;
    // The number that would have continued the stream (not for the first).
    std::uint8_t expected_sequence;
    // Numbers skipped just before this packet (only after a jump ahead).
    unsigned lost_before;
    // A late packet whose number had been counted missing.
    bool filled_gap;
    // The codec differs from the stream's previous packet.
    bool codec_changed;
    // Arrival since the stream's previous packet (not on the first).
    bool has_delta;
    double delta_ms;
    // The stream's jitter estimate after this packet, when this packet
    // updated it (both it and the one before had a media time).
    bool has_jitter;
    double jitter_ms;
};

class StreamAnalysis {
public:
    static constexpr int kMixedCodecs = -1;

    PacketAnalysis observe(const StreamPacket& p);

    const SequenceTracker& sequence() const { return sequence_; }
    unsigned packets() const { return sequence_.packets(); }
    // Distinct numbers received plus those still missing.
    unsigned expected() const {
        return sequence_.packets() - sequence_.duplicates() + sequence_.missing();
    }
    double lost_percent() const;
    // The codec of every packet, or kMixedCodecs.
    int codec() const { return codec_; }
    // The codec of the last packet observed.
    std::uint16_t last_codec() const { return last_codec_; }
    double duration_ms() const { return last_arrival_ms_ - first_arrival_ms_; }

    // Largest gap between two consecutive arrivals, and the later one's frame.
    bool has_delta() const { return packets() > 1; }
    double max_delta_ms() const { return max_delta_ms_; }
    std::uint32_t max_delta_frame() const { return max_delta_frame_; }

    // Jitter exists once two packets arrived with a known media time.
    bool has_jitter() const { return jitter_samples_ != 0; }
    double jitter_ms() const { return jitter_ms_; }
    double mean_jitter_ms() const;
    double max_jitter_ms() const { return max_jitter_ms_; }

    // Media time of the last packet's start, once a voice packet has given
    // the stream its packet length (a follow-up packet starts that length
    // later, a lost one is assumed to have had it too).
    bool has_media_clock() const { return slot_ms_ > 0; }
    double media_time_ms() const { return media_ms_; }
    double packet_length_ms() const { return slot_ms_; }

private:
    double media_time_of(std::int64_t extended) const;

    SequenceTracker sequence_;
    int codec_ = 0;
    std::uint16_t last_codec_ = 0;
    double first_arrival_ms_ = 0;
    double last_arrival_ms_ = 0;
    double max_delta_ms_ = 0;
    std::uint32_t max_delta_frame_ = 0;

    // The media clock: the packet numbered anchor_extended_ starts at
    // anchor_ms_, and every packet after it lasts slot_ms_ until a voice
    // packet of another length re-anchors the clock.
    double slot_ms_ = 0;
    std::int64_t anchor_extended_ = 0;
    double anchor_ms_ = 0;
    bool timed_ = false;  // the last packet had a media time
    double media_ms_ = 0;

    double jitter_ms_ = 0;
    double jitter_sum_ms_ = 0;
    double max_jitter_ms_ = 0;
    unsigned jitter_samples_ = 0;
};

}  // namespace kestrune

// SPDX-License-Identifier: GPL-2.0-or-later
#include "stream_analysis.h"

#include <cmath>

namespace kestrune {
namespace {

// Payload bytes per span of media time, by codec number. Zero bytes: the
// codec has no fixed rate (Vocantis, Transparent), so no media time.
struct CodecRate {
    unsigned bytes;
    unsigned ms;
};
constexpr CodecRate kCodecRates[16] = {
    {2, 1},    // 0 G726_16: 16 kbit/s
    {20, 30},  // 1 G723Low: one 20-byte frame per 30 ms
    {24, 30},  // 2 G723High: one 24-byte frame per 30 ms
    {1, 1},    // 3 G729: 8 kbit/s
    {8, 1},    // 4 G711Alaw: 64 kbit/s
    {8, 1},    // 5 G711Mulaw
    {0, 1},    // 6 Vocantis_9_6
    {4, 1},    // 7 G726_32: 32 kbit/s
    {2, 1},    // 8 G728: 16 kbit/s
    {0, 1},    // 9 Vocantis_7_2
    {2, 1},    // 10 G727_16: 16 kbit/s
    {4, 1},    // 11 G727_32: 32 kbit/s
    {0, 1},    // 12 Vocantis_4_8
    {0, 1},    // 13 Transparent
    // 14 G727_24_16: embedded ADPCM, 24 kbit/s over a 16 kbit/s core, taken
    // at the full 24 kbit/s; a packet cut down to its core (2 bytes per ms)
    // would come out a third short in media time.
    {3, 1},
    {3, 1},  // 15 G726_24: 24 kbit/s
};

// One step of the RFC 3550 (6.4.1) estimator: J += (|D| - J) / 16.
constexpr double kJitterGain = 1.0 / 16;

}  // namespace

double media_length_ms(unsigned packet_type, unsigned codec, unsigned payload_size) {
    const CodecRate rate = kCodecRates[codec & 0xF];
    if (packet_type != kVoicePacket || rate.bytes == 0 || payload_size == 0) {
        return -1;
    }
    return static_cast<double>(payload_size) * rate.ms / rate.bytes;
}

double StreamAnalysis::lost_percent() const {
    const unsigned e = expected();
    return e == 0 ? 0 : 100.0 * sequence_.missing() / e;
}

double StreamAnalysis::mean_jitter_ms() const {
    return jitter_samples_ == 0 ? 0 : jitter_sum_ms_ / jitter_samples_;
}

double StreamAnalysis::media_time_of(std::int64_t extended) const {
    return anchor_ms_ + (static_cast<double>(extended - anchor_extended_) * slot_ms_);
}

PacketAnalysis StreamAnalysis::observe(const StreamPacket& p) {
    PacketAnalysis result{};
    const bool first = sequence_.packets() == 0;
    const std::int64_t highest_before = sequence_.highest_extended();
    const unsigned missing_before = sequence_.missing();
    result.verdict = sequence_.observe(p.sequence);
    const std::int64_t extended = sequence_.extended();

    if (first) {
        codec_ = p.codec;
        first_arrival_ms_ = p.arrival_ms;
    } else {
        // The highest number so far is never negative: it starts at the
        // first packet's own number and only grows.
        result.expected_sequence = static_cast<std::uint8_t>(highest_before + 1);
        if (result.verdict == SequenceTracker::Verdict::Gap) {
            result.lost_before = static_cast<unsigned>(extended - highest_before - 1);
        }
        result.filled_gap = sequence_.missing() < missing_before;
        result.codec_changed = p.codec != last_codec_;
        if (codec_ != p.codec) {
            codec_ = kMixedCodecs;
        }
        const double delta = p.arrival_ms - last_arrival_ms_;
        result.has_delta = true;
        result.delta_ms = delta;
        if (sequence_.packets() == 2 || delta > max_delta_ms_) {
            max_delta_ms_ = delta;
            max_delta_frame_ = p.frame;
        }
    }
    last_codec_ = p.codec;

    // Where this packet starts in media time: from the clock if it runs;
    // a voice packet of a new length starts it, or restarts it here.
    const bool had_time = timed_;
    const double previous_media_ms = media_ms_;
    timed_ = has_media_clock();
    if (timed_) {
        media_ms_ = media_time_of(extended);
    }
    const double length = media_length_ms(p.packet_type, p.codec, p.payload_size);
    if (length > 0 && length != slot_ms_) {
        if (!timed_) {
            media_ms_ = 0;
            timed_ = true;
        }
        anchor_extended_ = extended;
        anchor_ms_ = media_ms_;
        slot_ms_ = length;
    }

    if (had_time && timed_) {
        const double d = (p.arrival_ms - last_arrival_ms_) - (media_ms_ - previous_media_ms);
        jitter_ms_ += (std::fabs(d) - jitter_ms_) * kJitterGain;
        jitter_sum_ms_ += jitter_ms_;
        if (jitter_samples_ == 0 || jitter_ms_ > max_jitter_ms_) {
            max_jitter_ms_ = jitter_ms_;
        }
        ++jitter_samples_;
        result.has_jitter = true;
        result.jitter_ms = jitter_ms_;
    }
    last_arrival_ms_ = p.arrival_ms;
    return result;
}

}  // namespace kestrune

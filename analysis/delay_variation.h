// SPDX-License-Identifier: GPL-2.0-or-later
// A stream's packet delay variation: the quantiles of each packet's delay
// above the least delay of its segment, once the sender clock's drift is
// taken out. Pure arithmetic: no host dependency.
//
// A segment is a fixed span of media time, given to the constructor, on a
// grid from the stream's first packet; it ends when a packet's media time
// reaches its end. A packet's value is its delay minus the drift's share
// from the segment's start, minus the least of these in its segment, so a
// route change inside a segment counts as variation there and one between
// segments does not. A packet a little earlier than its segment's start
// (overtaken on the way) counts in the open segment; one more than
// DriftEstimate::kRestartMs earlier is a sender restart, from which a new
// grid starts.
//
// The drift's share is that of the estimate when the packet is added, its
// provisional figure included: the sender's first 30 s would otherwise show
// 0.1% of drift as up to 10 ms of variation in each 10 s segment, more than
// the jitter of a clean path. The packets before the estimate has any fit
// (the first 2 s) are held, up to kHeld of them, and added with the first
// fit's drift taken out; a stream that has no fit by then has its first
// values uncorrected, and the segment they are in ends when the fit comes,
// so that no segment holds both kinds of value.
//
// The estimate moves a little while a segment is open. Against the
// estimate at the segment's close, a value is off by the slope's change
// times its media time in the segment. Measured on 60 s calls of 0.1%
// drift with 10 s segments: with 0..4 ms of jitter under 0.1 ms after the
// first segment and up to 1.2 ms in it; with 0..60 ms of jitter under
// 0.8 ms after the first segment and up to 5 ms in it, where the figure at
// the close is itself no better than that.
//
// The values of the open segment are binned as they come, above a base kept
// at most kMarginMs + 0.5 ms below the segment's least value: when a value
// falls below the base, the counts move up by a whole number of bins. At
// the close, each bin moves down by the base's distance to the least value
// into the stream's histogram. Bins are 0.5 ms wide up to 64 ms, then 1.5%
// wide up to 8192 ms; larger values count at 8192 ms, negative ones at 0.
// A quantile is the midpoint of the bin holding it: within 0.5 ms of the
// exact quantile of the same values up to 56 ms, within 1.5% + 0.1 ms
// above (half a bin of the segment's binning, half a bin of the stream's).
// Moving a segment's counts up also moves its values above 64 ms by up to
// half a bin; that happens only when a value falls kMarginMs below the
// base, after a route change or over the first packets of a segment.
// The open segment counts in a quantile as if it closed there, without
// changing anything.
//
// Memory is fixed: sizeof is 4352 bytes on x86-64 (1.5 KiB of it the held
// packets), 4000 with a DriftEstimate. A segment also ends at 65535 packets, so that its counts
// fit 16 bits (21 minutes of 20 ms packets). add() costs a few compares
// and one logarithm for a value more than 64 ms above its segment's base;
// a segment's close and a quantile go once over the bins.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "drift_estimate.h"

namespace kestrune {

class DelayVariation {
public:
    static constexpr double kBinMs = 0.5;
    static constexpr int kLinearBins = 128;  // up to kLogFromMs
    static constexpr double kLogFromMs = kBinMs * kLinearBins;
    static constexpr double kTopMs = 8192;
    static constexpr int kLogBins = 326;                      // a ratio of 2^(7/326), 1.50%
    static constexpr int kBins = kLinearBins + kLogBins + 1;  // the last: kTopMs and over
    static constexpr double kMarginMs = 8;
    static constexpr std::uint32_t kMaxSegmentPackets = 65535;
    static constexpr double kMinSegmentMs = 1;
    static constexpr double kMaxSegmentMs = 1e9;

    // The segment's span in media time, clamped to kMinSegmentMs ..
    // kMaxSegmentMs.
    explicit DelayVariation(double segment_ms);

    // One received packet (duplicates left out), in arrival order, after
    // drift.add() of the same packet.
    void add(double media_ms, double delay_ms, const DriftEstimate& drift);

    // The value at or below which a share q (0..1) of the values lie, the
    // open segment's and the held ones included; empty without a value.
    std::optional<double> quantile(double q) const;
    std::uint64_t count() const { return folded_ + segment_count_ + held_count_; }
    double segment_ms() const { return segment_ms_; }

    // The stream's first packets are held (five seconds of 20 ms packets,
    // at most kHeldMediaMs of media time) and go in together with the
    // drift as it is then: the fit's first figures, from a second or two
    // of floors, are too rough to take out of the values one by one.
    static constexpr unsigned kHeld = 256;
    static constexpr double kHeldMediaMs = 8000;

private:
    void add_now(double media_ms, double delay_ms, const DriftEstimate& drift);
    std::optional<double> quantile_of_binned(double q) const;
    void release(const DriftEstimate& drift);
    void open_segment(double media_ms, bool corrected);
    void close_segment();
    void rebase(double value);

    double segment_ms_;
    bool started_ = false;
    bool corrected_ = false;  // the open segment's values had the drift taken out
    std::uint32_t segment_count_ = 0;
    std::uint64_t folded_ = 0;
    double origin_ = 0;  // the segment grid's
    double segment_start_ = 0;
    double segment_end_ = 0;
    double base_ = 0;   // the open segment's bin 0
    double least_ = 0;  // the open segment's least value
    std::array<std::uint16_t, kBins> segment_{};
    std::array<std::uint32_t, kBins> stream_{};
    bool holding_ = true;
    unsigned held_count_ = 0;
    double held_origin_ = 0;
    std::array<std::uint16_t, kHeld> held_media_{};  // 1/8 ms from held_origin_
    std::array<float, kHeld> held_delay_ms_{};
};

}  // namespace kestrune

// SPDX-License-Identifier: GPL-2.0-or-later
// Loss, duplicate and reordering analysis of one media stream's 8-bit
// sequence numbers, in capture order. Pure arithmetic: no host dependency.
#pragma once

#include <array>
#include <cstdint>

namespace kestrune {

// One flag per 8-bit sequence number. A jump ahead clears or sets up to 126
// numbers at once, a word at a time rather than a bit at a time: on traffic
// that is not a steady stream (a scan, another protocol on the port) nearly
// every packet jumps.
class SequenceFlags {
public:
    bool test(std::uint8_t s) const { return ((words_[s >> 6] >> (s & 63u)) & 1u) != 0; }
    void set(std::uint8_t s) { words_[s >> 6] |= bit(s); }
    void reset(std::uint8_t s) { words_[s >> 6] &= ~bit(s); }
    void clear() { words_ = {}; }
    // The count numbers from first on (wrapping from 255 to 0), count < 256.
    void assign_run(std::uint8_t first, unsigned count, bool value);

private:
    static std::uint64_t bit(std::uint8_t s) { return std::uint64_t{1} << (s & 63u); }
    std::array<std::uint64_t, 4> words_{};
};

class SequenceTracker {
public:
    enum class Verdict { First, InOrder, Gap, Duplicate, OutOfOrder };

    Verdict observe(std::uint8_t sequence);

    unsigned packets() const { return packets_; }
    // Packets still missing: skipped numbers not yet seen late.
    unsigned missing() const { return missing_; }
    unsigned duplicates() const { return duplicates_; }
    unsigned out_of_order() const { return out_of_order_; }

    // The last observed packet's sequence number with the wraps counted: the
    // first packet keeps its own number, each trip round 0..255 adds 256, and
    // a late packet gets the place it had before the packets that overtook it
    // (one older than the first packet goes below it, even below zero).
    std::int64_t extended() const { return extended_; }
    std::int64_t highest_extended() const { return highest_extended_; }

private:
    // A number up to half the sequence space behind the highest one seen is
    // a late or repeated packet; further is taken as a jump ahead.
    static constexpr unsigned kWindow = 128;

    void advance_to(std::uint8_t sequence);

    bool started_ = false;
    std::uint8_t highest_ = 0;
    std::int64_t highest_extended_ = 0;
    std::int64_t extended_ = 0;
    SequenceFlags seen_;     // seen in the current window
    SequenceFlags skipped_;  // counted as missing in the current window
    unsigned packets_ = 0;
    unsigned missing_ = 0;
    unsigned duplicates_ = 0;
    unsigned out_of_order_ = 0;
};

}  // namespace kestrune

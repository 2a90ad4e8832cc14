// SPDX-License-Identifier: GPL-2.0-or-later
// Loss, duplicate and reordering analysis of one media session's 8-bit
// sequence numbers, in capture order. Pure arithmetic: no host dependency.
#pragma once

#include <bitset>
#include <cstdint>

namespace kestrune {

class SequenceTracker {
public:
    enum class Verdict { First, InOrder, Gap, Duplicate, OutOfOrder };

    Verdict observe(std::uint8_t sequence);

    unsigned packets() const { return packets_; }
    // Packets still missing: skipped numbers not yet seen late.
    unsigned missing() const { return missing_; }
    unsigned duplicates() const { return duplicates_; }
    unsigned out_of_order() const { return out_of_order_; }

private:
    // A number up to half the sequence space behind the highest one seen is
    // a late or repeated packet; further is taken as a jump ahead.
    static constexpr unsigned kWindow = 128;

    void advance_to(std::uint8_t sequence);

    bool started_ = false;
    std::uint8_t highest_ = 0;
    std::bitset<256> seen_;     // seen in the current window
    std::bitset<256> skipped_;  // counted as missing in the current window
    unsigned packets_ = 0;
    unsigned missing_ = 0;
    unsigned duplicates_ = 0;
    unsigned out_of_order_ = 0;
};

}  // namespace kestrune

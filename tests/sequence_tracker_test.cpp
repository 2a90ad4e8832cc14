// SPDX-License-Identifier: GPL-2.0-or-later
#include "analysis/sequence_tracker.h"

#include <gtest/gtest.h>

#include <bitset>
#include <initializer_list>
#include <random>

namespace kestrune {
namespace {

using V = SequenceTracker::Verdict;

SequenceTracker feed(std::initializer_list<int> sequence) {
    SequenceTracker t;
    for (int s : sequence) t.observe(static_cast<std::uint8_t>(s));
    return t;
}

TEST(SequenceTracker, InOrderAcrossTheWrapHasNoLoss) {
    SequenceTracker t;
    EXPECT_EQ(t.observe(253), V::First);
    for (int s : {254, 255, 0, 1}) EXPECT_EQ(t.observe(static_cast<std::uint8_t>(s)), V::InOrder);
    EXPECT_EQ(t.packets(), 5u);
    EXPECT_EQ(t.missing() + t.duplicates() + t.out_of_order(), 0u);
}

TEST(SequenceTracker, GapsCountTheMissingNumbersAcrossTheWrap) {
    SequenceTracker t = feed({250, 251, 254, 1, 2});  // 252, 253, 255, 0 missing
    EXPECT_EQ(t.missing(), 4u);
    EXPECT_EQ(t.out_of_order(), 0u);
    EXPECT_EQ(feed({10, 12}).observe(13), V::InOrder);
}

TEST(SequenceTracker, DuplicatesOfTheLatestAndOfOlderPackets) {
    SequenceTracker t = feed({5, 6, 6, 7, 5});
    EXPECT_EQ(t.duplicates(), 2u);
    EXPECT_EQ(t.missing(), 0u);
    EXPECT_EQ(t.out_of_order(), 0u);
}

TEST(SequenceTracker, ALatePacketIsOutOfOrderAndNoLongerMissing) {
    SequenceTracker t;
    t.observe(254);
    EXPECT_EQ(t.observe(0), V::Gap);  // 255 skipped
    EXPECT_EQ(t.missing(), 1u);
    EXPECT_EQ(t.observe(255), V::OutOfOrder);
    EXPECT_EQ(t.missing(), 0u);
    EXPECT_EQ(t.observe(255), V::Duplicate);
    EXPECT_EQ(t.out_of_order(), 1u);
    EXPECT_EQ(t.duplicates(), 1u);
}

TEST(SequenceTracker, OlderThanTheFirstPacketIsLateButWasNeverMissing) {
    SequenceTracker t = feed({10, 9, 11});
    EXPECT_EQ(t.out_of_order(), 1u);
    EXPECT_EQ(t.missing(), 0u);
}

TEST(SequenceTracker, AJumpOf127IsForwardAndOf128IsLate) {
    // Less than 128 ahead of the highest is a jump forward: 200 -> 71 across
    // the wrap is 127 ahead, and the 126 numbers between are missing.
    SequenceTracker t = feed({200});
    EXPECT_EQ(t.observe(71), V::Gap);
    EXPECT_EQ(t.missing(), 126u);
    // 128 ahead is taken as 128 behind: late, and never counted missing.
    SequenceTracker u = feed({200});
    EXPECT_EQ(u.observe(72), V::OutOfOrder);
    EXPECT_EQ(u.missing(), 0u);
    EXPECT_EQ(u.observe(201), V::InOrder);
}

TEST(SequenceTracker, LatePacketsAfterTheWrapOfASessionLongerThanALap) {
    // 0..254, then 0 (255 skipped), 255 late, 1, 2, 4 (3 skipped), 3 late.
    SequenceTracker t;
    for (int s = 0; s < 255; ++s) t.observe(static_cast<std::uint8_t>(s));
    for (int s : {0, 255, 1, 2, 4}) t.observe(static_cast<std::uint8_t>(s));
    EXPECT_EQ(t.missing(), 1u);
    EXPECT_EQ(t.observe(3), V::OutOfOrder);  // seen a lap ago, not a duplicate
    EXPECT_EQ(t.packets(), 261u);
    EXPECT_EQ(t.missing(), 0u);
    EXPECT_EQ(t.out_of_order(), 2u);
    EXPECT_EQ(t.duplicates(), 0u);
}

TEST(SequenceTracker, ANumberSeenOneLapAgoIsNewOnTheNextLap) {
    // 0..255 then 0 again: the second 0 is the next lap, not a duplicate.
    SequenceTracker t;
    for (int lap = 0; lap < 2; ++lap) {
        for (int s = 0; s < 256; ++s) t.observe(static_cast<std::uint8_t>(s));
    }
    EXPECT_EQ(t.packets(), 512u);
    EXPECT_EQ(t.duplicates() + t.missing() + t.out_of_order(), 0u);
    // A skipped number from the previous lap is not 'filled' by this lap's.
    SequenceTracker u = feed({0, 2});
    for (int s = 3; s < 256; ++s) u.observe(static_cast<std::uint8_t>(s));
    EXPECT_EQ(u.observe(0), V::InOrder);
    EXPECT_EQ(u.observe(1), V::InOrder);
    EXPECT_EQ(u.missing(), 1u);
}

TEST(SequenceTracker, ExtendedNumbersCountTheWrapsAndPlaceLatePackets) {
    // Each pair: the number observed, its extended number. 255 -> 0 is one
    // lap; 254 after 1 is late, 3 repeats, 250 is older than the first
    // packet, and a jump of 127 is taken as a gap ahead.
    const int expected[][2] = {{253, 253}, {255, 255}, {0, 256}, {1, 257},   {254, 254},
                               {3, 259},   {3, 259},   {4, 260}, {250, 250}, {131, 387}};
    SequenceTracker t;
    for (const auto& e : expected) {
        t.observe(static_cast<std::uint8_t>(e[0]));
        EXPECT_EQ(t.extended(), e[1]) << "after " << e[0];
    }
    EXPECT_EQ(t.highest_extended(), 387);
    for (int lap = 0; lap < 3; ++lap) {
        for (int s = 132; s < 388; ++s) t.observe(static_cast<std::uint8_t>(s));
    }
    EXPECT_EQ(t.extended(), 387 + 3 * 256);
}

TEST(SequenceFlags, RunsAcrossWordBoundariesAndTheWrap) {
    // Each run against the same flags set one at a time, from every start
    // and of every length, over a pattern that is neither all set nor clear.
    std::bitset<256> pattern;
    for (unsigned s = 0; s < 256; s += 3) pattern.set(s);
    for (unsigned first = 0; first < 256; ++first) {
        for (unsigned count : {0u, 1u, 2u, 63u, 64u, 65u, 126u, 128u, 191u, 255u}) {
            for (bool value : {false, true}) {
                SequenceFlags flags;
                std::bitset<256> want = pattern;
                for (unsigned s = 0; s < 256; ++s) {
                    if (pattern.test(s))
                        flags.set(static_cast<std::uint8_t>(s));
                }
                flags.assign_run(static_cast<std::uint8_t>(first), count, value);
                for (unsigned k = 0; k < count; ++k) want.set((first + k) & 0xFFu, value);
                for (unsigned s = 0; s < 256; ++s) {
                    ASSERT_EQ(flags.test(static_cast<std::uint8_t>(s)), want.test(s))
                        << "run of " << count << " from " << first << " set to " << value
                        << ", number " << s;
                }
            }
        }
    }
}

TEST(SequenceTracker, RandomTrafficCountsAsNumberByNumberBookkeepingDoes) {
    // What a stream of arbitrary numbers must leave: the flags kept one
    // number at a time, as they are defined.
    std::mt19937 rng(7);
    for (int trial = 0; trial < 20; ++trial) {
        SequenceTracker t;
        std::bitset<256> seen;
        std::bitset<256> skipped;
        unsigned missing = 0;
        unsigned duplicates = 0;
        unsigned late = 0;
        std::uint8_t highest = 0;
        for (int i = 0; i < 2000; ++i) {
            // Mostly small steps, as loss and reordering make, some jumps.
            const unsigned r = rng() % 4;
            const auto s = static_cast<std::uint8_t>(r == 0 ? rng() : highest + 1 + (rng() % 5));
            const V v = t.observe(s);
            if (i == 0) {
                seen.set(s);
                highest = s;
                continue;
            }
            const unsigned ahead = static_cast<std::uint8_t>(s - highest);
            if (ahead != 0 && ahead < 128) {
                for (auto n = static_cast<std::uint8_t>(highest + 1); n != s; ++n) {
                    seen.reset(n);
                    skipped.set(n);
                    ++missing;
                }
                seen.set(s);
                skipped.reset(s);
                highest = s;
                ASSERT_EQ(v, ahead == 1 ? V::InOrder : V::Gap);
            } else if (seen.test(s)) {
                ++duplicates;
                ASSERT_EQ(v, V::Duplicate);
            } else {
                ++late;
                seen.set(s);
                if (skipped.test(s)) {
                    skipped.reset(s);
                    --missing;
                }
                ASSERT_EQ(v, V::OutOfOrder);
            }
            ASSERT_EQ(t.missing(), missing) << "trial " << trial << " packet " << i;
        }
        EXPECT_EQ(t.duplicates(), duplicates);
        EXPECT_EQ(t.out_of_order(), late);
    }
}

}  // namespace
}  // namespace kestrune

// SPDX-License-Identifier: GPL-2.0-or-later
// The playout buffer, the burst ratio and the E-model on streams with
// chosen loss, lateness and delay, against figures worked by hand.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "analysis/quality_score.h"
#include "analysis/stream_pipeline.h"

namespace kestrune {
namespace {

constexpr std::uint16_t kVoice = 0;
constexpr std::uint16_t kDtmf = 1;
constexpr std::uint16_t kG729 = 3;
constexpr std::uint16_t kMulaw = 5;

struct Sent {
    int sequence;
    double arrival_ms;
    std::uint16_t type = kVoice;
    std::uint16_t codec = kMulaw;
    std::uint16_t payload = 160;  // 20 ms of G.711
};

struct Scored {
    StreamPipeline pipeline;
    std::optional<QualityScore> score;
    const StreamAnalysis& analysis() const { return pipeline.analysis(); }
    const FixedReceiver& fixed() const { return pipeline.fixed(); }
};

Scored feed(const std::vector<Sent>& packets, double buffer_ms = 50, double network_ms = 0) {
    Scored s;
    s.pipeline.start(buffer_ms, 0);
    for (const Sent& p : packets) {
        s.pipeline.observe(
            {static_cast<std::uint8_t>(p.sequence), p.type, p.codec, p.payload, p.arrival_ms, 0},
            {nullptr, nullptr});
    }
    s.score = stream_score(s.analysis(), s.fixed().figures(), network_ms);
    return s;
}

// Packets 0..99 every 20 ms, on time, except those left out.
std::vector<Sent> on_time_except(const std::vector<int>& lost) {
    std::vector<Sent> out;
    for (int n = 0; n < 100; ++n) {
        bool skip = false;
        for (int l : lost) skip = skip || l == n;
        if (!skip)
            out.push_back({n, 20.0 * n});
    }
    return out;
}

TEST(QualityScore, CleanStreamIsLimitedByDelayAlone) {
    // d = 50 buffer + 20 packet = 70 ms: Id = 0.024 * 70 = 1.68, Ie,eff = 0.
    // R = 93.2 - 1.68 = 91.52; MOS = 1 + 0.035 R + R (R - 60)(100 - R) 7e-6
    //   = 1 + 3.2032 + 91.52 * 31.52 * 8.48 * 7e-6 = 4.374436.
    const Scored s = feed(on_time_except({}));
    ASSERT_TRUE(s.score);
    EXPECT_EQ(s.fixed().late(), 0u);
    EXPECT_NEAR(s.score->r, 91.52, 1e-9);
    EXPECT_NEAR(s.score->mos, 4.374436, 1e-6);
}

TEST(QualityScore, ScatteredLossAndOneBurstOfTheSameSize) {
    // Nine single losses (10, 20, ..., 90) of 100: Ppl = 9. Played slots
    // followed by another: 91 - 1 (the last) = 90, of which 9 go to a lost
    // one: p = 0.1; every lost slot goes back to played: q = 1. BurstR =
    // 1 / 1.1. Ie,eff = 95 * 9 / (9 * 1.1 + 25.1) = 855 / 35 = 24.428571;
    // R = 93.2 - 1.68 - 24.428571 = 67.091429.
    const Scored scattered = feed(on_time_except({10, 20, 30, 40, 50, 60, 70, 80, 90}));
    EXPECT_NEAR(scattered.fixed().slots().counts().burst_ratio(), 1 / 1.1, 1e-12);
    ASSERT_TRUE(scattered.score);
    EXPECT_NEAR(scattered.score->r, 67.091429, 1e-6);
    EXPECT_NEAR(scattered.score->mos, 3.457799, 1e-6);

    // 40..49 lost at once: Ppl = 10, p = 1 / 89, q = 1 / 10, BurstR =
    // 1 / (1/89 + 1/10) = 890 / 99 = 8.989899 > 1. Ie,eff = 950 / (10 / 8.989899
    // + 25.1) = 950 / 26.212360 = 36.242445; R = 93.2 - 1.68 - 36.242445.
    const Scored burst = feed(on_time_except({40, 41, 42, 43, 44, 45, 46, 47, 48, 49}));
    const BurstCounts c = burst.fixed().slots().counts();
    EXPECT_EQ(c.played_followed, 89u);
    EXPECT_EQ(c.lost_followed, 10u);
    EXPECT_EQ(c.played_to_lost + c.lost_to_played, 2u);
    EXPECT_NEAR(c.burst_ratio(), 890.0 / 99, 1e-12);
    ASSERT_TRUE(burst.score);
    EXPECT_NEAR(burst.score->r, 55.277555, 1e-6);
    EXPECT_NEAR(burst.score->mos, 2.852992, 1e-6);
}

TEST(QualityScore, LatePacketsCountAsLostAndTheNetworkDelayAddsToTheDelay) {
    // 0..9 every 20 ms; due at 20 n + 50. Packet 5 comes at 160, after 150:
    // late. 7 overtakes 5 and 6, which is still in time (120 < 170).
    // One unplayed slot of 10: Ppl = 10; p = 1/8 (nine played, the last not
    // followed), q = 1: BurstR = 1 / 1.125. d = 50 + 20 + 150 = 220: Id =
    // 5.28 + 0.11 * 42.7 = 9.977. Ie,eff = 950 / (11.25 + 25.1) = 26.134801;
    // R = 93.2 - 9.977 - 26.134801 = 57.088199.
    const std::vector<Sent> packets = {{0, 0},   {1, 20},  {2, 40},  {3, 60},  {4, 80},
                                       {7, 115}, {6, 120}, {5, 160}, {8, 160}, {9, 180}};
    const Scored s = feed(packets, 50, 150);
    EXPECT_EQ(s.fixed().late(), 1u);
    EXPECT_EQ(s.analysis().sequence().missing(), 0u);
    ASSERT_TRUE(s.score);
    EXPECT_NEAR(s.score->r, 57.088199, 1e-6);

    // The same packets with a 100 ms buffer: nothing late, d = 100 + 20 +
    // 150 = 270: Id = 6.48 + 0.11 * 92.7 = 16.677, R = 93.2 - 16.677.
    const Scored deeper = feed(packets, 100, 150);
    EXPECT_EQ(deeper.fixed().late(), 0u);
    EXPECT_NEAR(deeper.score->r, 76.523, 1e-9);

    // Each packet exactly when it is due (20 n + 50) is in time; a repeat of
    // 1 long after its due time is left out, not late: its first copy played.
    const Scored edge = feed({{0, 0}, {1, 70}, {2, 90}, {3, 110}, {1, 400}});
    EXPECT_EQ(edge.fixed().late(), 0u);
    EXPECT_EQ(edge.analysis().sequence().duplicates(), 1u);
    EXPECT_NEAR(edge.score->r, 91.52, 1e-9);
}

TEST(QualityScore, StreamThatStartsWithALatePacket) {
    // G.729, 20 bytes = 20 ms. 10 arrives first and sets the clock; 9, due
    // at 0 + (-20) + 50 = 30, comes at 40: late. Slots 9..12 are lost,
    // played, played, played: Ppl = 25, p = 0, q = 1, BurstR = 1. Ie,eff =
    // 11 + 84 * 25 / (25 + 19) = 58.727273; R = 93.2 - 1.68 - 58.727273.
    const Scored s = feed({{10, 0, kVoice, kG729, 20},
                           {11, 20, kVoice, kG729, 20},
                           {9, 40, kVoice, kG729, 20},
                           {12, 60, kVoice, kG729, 20}});
    EXPECT_EQ(s.fixed().late(), 1u);
    ASSERT_TRUE(s.score);
    EXPECT_NEAR(s.score->r, 32.792727, 1e-6);
    EXPECT_NEAR(s.score->mos, 1.728009, 1e-6);
}

TEST(QualityScore, ClockFromADtmfFirstPacketAndStreamsWithoutAScore) {
    // DTMF 0 at 0, then voice: the clock runs from the DTMF packet's
    // arrival, so voice 1 is due at 0 + 20 + 50 = 70 and 2 at 90: the
    // second comes at 95, late.
    const Scored dtmf_first =
        feed({{0, 0, kDtmf, kMulaw, 4}, {1, 60}, {2, 95}, {3, 100}, {4, 120}});
    EXPECT_EQ(dtmf_first.fixed().late(), 1u);
    ASSERT_TRUE(dtmf_first.score);

    // All DTMF: no media time, so no score and nothing judged late.
    const Scored all_dtmf = feed({{0, 0, kDtmf, kMulaw, 4}, {1, 500, kDtmf, kMulaw, 4}});
    EXPECT_FALSE(all_dtmf.fixed().has_clock());
    EXPECT_EQ(all_dtmf.fixed().late(), 0u);
    EXPECT_FALSE(all_dtmf.score);
    // Mixed codecs, and a codec without figures (Vocantis_9_6 = 6).
    EXPECT_FALSE(feed({{0, 0}, {1, 20, kVoice, kG729, 20}}).score);
    EXPECT_FALSE(codec_impairment(6));
    EXPECT_FALSE(codec_impairment(13));
}

TEST(QualityScore, MosAtTheEndsOfTheScale) {
    EXPECT_EQ(mos_from_r(-3), 1);
    EXPECT_EQ(mos_from_r(100.5), 4.5);
    EXPECT_NEAR(mos_from_r(0), 1, 1e-12);
    EXPECT_NEAR(mos_from_r(100), 4.5, 1e-12);
}

// The online counts match a count over every slot, kept whole, for
// streams much longer than the window, with reordering and big jumps.
TEST(SlotHistory, FoldedCountsMatchTheWholeStream) {
    std::mt19937 random(17);
    for (int run = 0; run < 20; ++run) {
        SlotHistory h;
        std::vector<int> state;  // per slot from 0: -1 never seen, 0 late, 1 played
        std::int64_t highest = -1;
        for (int i = 0; i < 3000; ++i) {
            std::int64_t slot = highest + 1;
            const unsigned r = random() % 100;
            if (r < 10)
                slot += random() % 40;  // a burst lost
            if (r == 99)
                slot += 300 + random() % 500;  // a jump
            if (r < 5 && highest > 130)
                slot = highest - (random() % 128);  // reordered
            const bool played = random() % 7 != 0;
            if (static_cast<std::int64_t>(state.size()) <= slot)
                state.resize(slot + 1, -1);
            if (state[slot] == 1)
                continue;  // a repeat would not reach the history
            state[slot] = std::max(state[slot], played ? 1 : 0);
            h.received(slot, played);
            highest = std::max(highest, slot);
        }
        // From the first slot received to the last.
        std::size_t first = 0;
        while (state[first] == -1) ++first;
        BurstCounts whole;
        for (std::size_t k = first; k + 1 < state.size(); ++k) {
            const bool from = state[k] == 1;
            const bool to = state[k + 1] == 1;
            (from ? whole.played_followed : whole.lost_followed) += 1;
            whole.played_to_lost += from && !to;
            whole.lost_to_played += !from && to;
        }
        const BurstCounts c = h.counts();
        EXPECT_EQ(c.played_followed, whole.played_followed) << run;
        EXPECT_EQ(c.lost_followed, whole.lost_followed) << run;
        EXPECT_EQ(c.played_to_lost, whole.played_to_lost) << run;
        EXPECT_EQ(c.lost_to_played, whole.lost_to_played) << run;
    }
}

}  // namespace
}  // namespace kestrune

// SPDX-License-Identifier: GPL-2.0-or-later
// A stream's score interval by interval, against figures worked by hand:
// 20 ms G.711 packets, a 50 ms buffer and 1 s intervals, so that the
// interval k holds the slots due from 50 + 1000k ms, packets 50k to
// 50k + 49 of a stream sent every 20 ms from 0.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "analysis/interval_score.h"
#include "analysis/stream_pipeline.h"

namespace kestrune {
namespace {

constexpr std::uint16_t kVoice = 0;
constexpr std::uint16_t kDtmf = 1;
constexpr std::uint16_t kMulaw = 5;
constexpr double kDelayMs = 50 + 20;  // buffer and packet length

struct Sent {
    int sequence;
    double arrival_ms;
    std::uint16_t type = kVoice;
};

struct Closing {
    IntervalFigures figures;
    int by;  // the sequence number of the packet that closed it
};

struct Fed {
    StreamPipeline pipeline;
    std::vector<Closing> closed;
    const StreamAnalysis& analysis() const { return pipeline.analysis(); }
    const FixedReceiver& fixed() const { return pipeline.fixed(); }
    const IntervalScorer& intervals() const { return *pipeline.intervals(); }
};

Fed feed(const std::vector<Sent>& packets) {
    Fed run;
    run.pipeline.start(50, 1000);
    for (const Sent& s : packets) {
        const StreamPacket p{
            static_cast<std::uint8_t>(s.sequence), s.type, kMulaw, 160, s.arrival_ms, 0};
        struct Context {
            Fed* run;
            int by;
        } context{&run, s.sequence};
        run.pipeline.observe(p, {&context, [](void* c, const IntervalFigures& f) {
                                     auto* ctx = static_cast<Context*>(c);
                                     ctx->run->closed.push_back({f, ctx->by});
                                 }});
    }
    return run;
}

// Packets 0..n-1 every 20 ms, on time, except those left out.
std::vector<Sent> on_time(int n, const std::vector<int>& lost = {}) {
    std::vector<Sent> out;
    for (int k = 0; k < n; ++k) {
        bool skip = false;
        for (int l : lost) {
            skip = skip || l == k;
        }
        if (!skip) {
            out.push_back({k, 20.0 * k});
        }
    }
    return out;
}

TEST(IntervalScore, CleanIntervalClosesAtTheFirstArrivalAfterItsEnd) {
    const Fed run = feed(on_time(120));
    // Interval 0 ends at 1050 ms: packet 52 (1040 ms) is before, 53 after.
    ASSERT_EQ(run.closed.size(), 2u);
    EXPECT_EQ(run.closed[0].by, 53);
    EXPECT_EQ(run.closed[1].by, 103);
    const IntervalFigures& f = run.closed[0].figures;
    EXPECT_EQ(f.index, 0);
    EXPECT_EQ(f.expected, 50u);
    EXPECT_EQ(f.packets(), 50u);
    EXPECT_EQ(f.lost(), 0u);
    EXPECT_DOUBLE_EQ(run.intervals().start_ms(1), 1050);
    // R = 93.2 - 0.024 * 70, as for a clean stream.
    const auto score = interval_score(f, kDelayMs);
    ASSERT_TRUE(score);
    EXPECT_NEAR(score->r, 91.52, 1e-9);
    // Packets 100..119 are in the open third interval, a last one of 400 ms.
    ASSERT_EQ(run.intervals().open_count(), 1u);
    const IntervalFigures open = run.intervals().open_figures(0);
    EXPECT_EQ(open.expected, 20u);
    EXPECT_TRUE(run.intervals().is_last(open));
    EXPECT_DOUBLE_EQ(open.covered_ms, 400);
}

TEST(IntervalScore, ADueTimeOnABoundaryStartsTheNextInterval) {
    // From 290.2 ms the due times are 340.2 + 20n, and every 50th falls on
    // a boundary that the division alone would put a rounding error away.
    std::vector<Sent> packets = on_time(160);
    for (Sent& p : packets) {
        p.arrival_ms += 290.2;
    }
    const Fed run = feed(packets);
    ASSERT_EQ(run.closed.size(), 3u);
    for (const Closing& c : run.closed) {
        EXPECT_EQ(c.figures.expected, 50u);
    }
    EXPECT_EQ(run.intervals().open_figures(0).expected, 10u);
}

TEST(IntervalScore, BurstIsCountedOverTheIntervalsOwnSlots) {
    // Five in a row lost in interval 0 (slots 10..14), none in interval 1.
    const Fed run = feed(on_time(110, {10, 11, 12, 13, 14}));
    ASSERT_EQ(run.closed.size(), 2u);
    const IntervalFigures& f = run.closed[0].figures;
    EXPECT_EQ(f.expected, 50u);
    EXPECT_EQ(f.lost(), 5u);
    EXPECT_DOUBLE_EQ(f.lost_percent(), 10);
    // 44 played slots with a successor, one of them followed by a loss; 5
    // lost, one followed by a played slot: 1 / (1/44 + 1/5).
    EXPECT_NEAR(f.bursts.burst_ratio(), 220.0 / 49, 1e-12);
    // Ie,eff = 95 * 10 / (10 / BurstR + 25.1) = 34.763...; R = 91.52 - Ie,eff.
    const auto score = interval_score(f, kDelayMs);
    ASSERT_TRUE(score);
    EXPECT_NEAR(score->r, 91.52 - (950 / ((10 * 49.0 / 220) + 25.1)), 1e-9);
    // The next interval is clean: its first slot follows no loss of its own.
    EXPECT_EQ(run.closed[1].figures.lost(), 0u);
    EXPECT_DOUBLE_EQ(run.closed[1].figures.bursts.burst_ratio(), 1);
}

TEST(IntervalScore, LatePacketsCountAsLostAndAClosedIntervalStaysFixed) {
    std::vector<Sent> packets = on_time(110, {20, 21, 22, 49});
    // 20..22 come together at 500 ms, after their due times (450..490);
    // 49 comes after packet 53 has closed interval 0.
    packets.insert(packets.begin() + 22, {{20, 500}, {21, 500}, {22, 500}});
    packets.insert(packets.begin() + 53, {49, 1075});
    const Fed run = feed(packets);
    ASSERT_EQ(run.closed.size(), 2u);
    const IntervalFigures& f = run.closed[0].figures;
    EXPECT_EQ(run.closed[0].by, 53);
    EXPECT_EQ(f.expected, 50u);
    EXPECT_EQ(f.late, 3u);
    EXPECT_EQ(f.packets(), 49u);  // 49 never counted here
    EXPECT_EQ(f.lost(), 4u);      // 3 late, 1 missing when it closed
    // Interval 1 did not get packet 49 either.
    EXPECT_EQ(run.closed[1].figures.expected, 50u);
    EXPECT_EQ(run.closed[1].figures.packets(), 50u);
    // Summed, the intervals lose what the stream lost: missing plus late
    // (49 is no longer missing but late).
    EXPECT_EQ(run.analysis().sequence().missing() + run.fixed().late(),
              run.closed[0].figures.lost() + run.closed[1].figures.lost());
}

TEST(IntervalScore, IntervalsWithoutVoiceHaveNoScore) {
    std::vector<Sent> packets = on_time(160);
    for (int k = 50; k < 100; ++k) {
        packets[static_cast<std::size_t>(k)].type = kDtmf;
    }
    const Fed run = feed(packets);
    ASSERT_EQ(run.closed.size(), 3u);
    EXPECT_TRUE(interval_score(run.closed[0].figures, kDelayMs));
    const IntervalFigures& dtmf = run.closed[1].figures;
    EXPECT_EQ(dtmf.codec, IntervalFigures::kNoVoice);
    EXPECT_EQ(dtmf.expected, 50u);
    EXPECT_FALSE(interval_score(dtmf, kDelayMs));
    EXPECT_TRUE(interval_score(run.closed[2].figures, kDelayMs));
}

TEST(IntervalScore, PausesAndTimeGoingBackwards) {
    // A 10 s pause with nothing sent (a new talkspurt, its numbers going
    // on): no interval for it, and the packet after it closes the interval
    // it left open. The receiver takes the pause for a jump and plays on
    // from it rather than finding the packet 10 s late.
    std::vector<Sent> packets = on_time(30);
    packets.push_back({30, 10600});
    // The capture's clock steps back: nothing closes on it, and it is a
    // jump of its own.
    packets.push_back({31, 5000});
    const Fed run = feed(packets);
    ASSERT_EQ(run.closed.size(), 1u);
    EXPECT_EQ(run.closed[0].by, 30);
    EXPECT_EQ(run.closed[0].figures.expected, 30u);
    EXPECT_EQ(run.closed[0].figures.late, 0u);
    EXPECT_EQ(run.fixed().late(), 0u);
    EXPECT_EQ(run.fixed().resynchronisations(), 2u);
    ASSERT_EQ(run.intervals().open_count(), 1u);
    const IntervalFigures open = run.intervals().open_figures(0);
    EXPECT_EQ(open.index, 10);  // where the packets arrived, not the old clock
    EXPECT_EQ(open.expected, 2u);
}

}  // namespace
}  // namespace kestrune

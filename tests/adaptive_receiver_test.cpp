// SPDX-License-Identifier: GPL-2.0-or-later
// The adaptive receiver on the shared feed of 20 ms G.711 packets: clean,
// jittered evenly or with a heavy tail, drifting, rerouted, jumping, and
// against the 50 ms fixed receiver on the same packets.
#include "analysis/adaptive_receiver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

#include "analysis/fixed_receiver.h"
#include "receiver_feed.h"

namespace kestrune {
namespace {

using R = AdaptiveReceiver;
using test::Path;

// Both receivers on the same packets, as the pipeline calls them.
struct Feed {
    StreamAnalysis analysis;
    DelayTrack track;
    AdaptiveReceiver adaptive;
    FixedReceiver fixed;
    std::vector<double> buffer;  // the adaptive buffer after each packet
    std::vector<unsigned> late;  // its late packets so far
    // A packet played after its due time or late before it, or a move
    // faster than stretching and shrinking go outside a resynchronisation.
    unsigned faults = 0;
    unsigned across = 0;  // packets sent before a jump that came after it

    void packet(const StreamPacket& p) {
        analysis.observe(p);
        const PacketDelay d = track.observe(analysis, p.arrival_ms);
        const bool had_clock = adaptive.has_clock() && analysis.packets() > 1;
        const double before = adaptive.playout_delay_ms();
        const SlotOutcome out = adaptive.observe(analysis, track, d);
        const double step = adaptive.playout_delay_ms() - before;
        faults += had_clock && !out.resynchronised &&
                  (step > (R::kGrowShare * 20) + 1e-9 || step < (-R::kShrinkShare * 20) - 1e-9);
        faults +=
            out.has_due && !out.duplicate && out.played != (p.arrival_ms <= out.due_ms + 1e-6);
        fixed.observe(analysis, track, d, 50);
        buffer.push_back(adaptive.buffer_ms());
        late.push_back(adaptive.late());
    }
    void packet(std::int64_t number, double arrival_ms, std::uint16_t codec = 5) {
        packet({static_cast<std::uint8_t>(number), 0, codec, 160, arrival_ms, 0});
    }
    double mean_buffer(int from, int to) const {
        return std::accumulate(buffer.begin() + from, buffer.begin() + to, 0.0) / (to - from);
    }
};

Feed run(int count, const Path& path) {
    Feed r;
    bool jumped = false;
    for (const StreamPacket& p : test::delay_series(count, path)) {
        const bool after = path.jump_at >= 0 && p.frame >= static_cast<unsigned>(path.jump_at);
        jumped = jumped || after;
        r.across += jumped && !after;
        r.packet(p);
    }
    return r;
}

Path jittered(double jitter_ms, std::uint64_t seed = 1) {
    Path p;
    p.jitter_ms = jitter_ms;
    p.seed = seed;
    return p;
}

TEST(AdaptiveReceiverTest, ACleanCallPlaysEveryPacketAtTheSmallestBuffer) {
    const Feed r = run(500, jittered(4));
    EXPECT_EQ(r.adaptive.late(), 0u);
    EXPECT_EQ(r.adaptive.resynchronisations(), 0u);
    EXPECT_LT(r.adaptive.figures().delay_ms, 25);  // the start at 60 ms, shrunk within a second
    EXPECT_DOUBLE_EQ(r.mean_buffer(100, 500), R::kMinBufferMs);
    EXPECT_EQ(r.adaptive.figures().bursts.played_followed, 499u);
    EXPECT_EQ(r.faults, 0u);
}

TEST(AdaptiveReceiverTest, HeavyJitterLosesNoMoreThanTheFixedBuffer) {
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE(seed);
        const Feed flat = run(1000, jittered(60, seed));
        EXPECT_LE(flat.adaptive.late(), std::min(flat.fixed.late(), 2u));
        EXPECT_GT(flat.adaptive.mean_delay_ms(), 55);
        EXPECT_LT(flat.adaptive.mean_delay_ms(), 100);
        // A scale of 3 ms: half the packets within 2 ms, one in 70 beyond
        // 50 ms, one in 200 beyond 100 ms.
        Path heavy = jittered(0, seed);
        heavy.tail_ms = 3;
        const Feed tail = run(1000, heavy);
        EXPECT_GT(tail.fixed.late(), 0u);  // the tail reaches beyond 50 ms
        EXPECT_LE(tail.adaptive.late(), tail.fixed.late());
        EXPECT_LT(tail.adaptive.mean_delay_ms(), 200);
        EXPECT_EQ(flat.faults + tail.faults, 0u);
    }
}

TEST(AdaptiveReceiverTest, LatePacketsSetTheBufferOnlyIfMoreThanItsQuantile) {
    // 80 ms late: one packet in 25 sets the buffer, one in 400 does not;
    // a lone one 300 ms late leaves it as it would be without.
    Path path = jittered(4);
    const Feed calm = run(1000, path);
    path.late_ms = 80;
    path.late_one = 24;
    path.late_every = 25;
    const Feed often = run(1000, path);
    EXPECT_GE(often.mean_buffer(200, 1000), 80);
    EXPECT_LE(often.adaptive.late(), 2u);
    path.late_one = 399;
    path.late_every = 400;
    const Feed seldom = run(1000, path);
    EXPECT_DOUBLE_EQ(seldom.mean_buffer(200, 1000), R::kMinBufferMs);
    EXPECT_EQ(seldom.adaptive.late(), 2u);
    path.late_one = 400;
    path.late_every = 0;
    path.late_ms = 300;
    const Feed lone = run(1000, path);
    EXPECT_EQ(lone.adaptive.late(), 1u);
    EXPECT_EQ(lone.adaptive.resynchronisations(), 0u);
    for (std::size_t k = 0; k < 1000; ++k) {
        ASSERT_NEAR(lone.buffer[k], calm.buffer[k], 1) << k;
    }
    EXPECT_EQ(often.faults + seldom.faults + lone.faults, 0u);
}

TEST(AdaptiveReceiverTest, TheBufferShrinksBackOnlyGraduallyOnceTheJitterCalms) {
    // 60 ms of jitter for three minutes (the weights rescaled twice), then 4.
    constexpr int kRough = 9000;
    Path path = jittered(60);
    path.calm_at = kRough;
    path.calm_ms = 4;
    const Feed r = run(kRough + 1500, path);
    EXPECT_NEAR(r.mean_buffer(kRough - 2000, kRough - 10), 70, 1);
    EXPECT_EQ(r.late[kRough + 1499], r.late[kRough - 10]);
    EXPECT_GE(r.buffer[kRough + 250], 60);  // the rough patch still counts
    EXPECT_DOUBLE_EQ(r.mean_buffer(kRough + 1000, kRough + 1500), R::kMinBufferMs);
    EXPECT_EQ(r.faults, 0u);
}

TEST(AdaptiveReceiverTest, ADriftingSenderIsFollowed) {
    for (const double ppm : {-10000.0, 10000.0}) {
        SCOPED_TRACE(ppm);
        Path path = jittered(4);
        path.drift_ppm = ppm;
        const Feed r = run(600, path);
        EXPECT_EQ(r.adaptive.late(), 0u);
        EXPECT_EQ(r.adaptive.resynchronisations(), 0u);
        // The floor's window lags a slower clock by up to 2.5 s of drift.
        EXPECT_LT(r.mean_buffer(300, 600), ppm < 0 ? 50 : 25);
        EXPECT_EQ(r.faults, 0u);
    }
}

TEST(AdaptiveReceiverTest, ARouteChangeCostsAtMostTheConfirmingPackets) {
    // The route changes at packet 300; the late packets of the first
    // second, while the buffer learns the jitter, are not its cost.
    for (const double jitter : {4.0, 60.0}) {
        SCOPED_TRACE(jitter);
        Path path = jittered(jitter);
        path.step_at = 300;
        path.step_ms = 100;
        const Feed longer = run(800, path);
        EXPECT_LE(longer.late[799] - longer.late[289], R::kConfirm);
        EXPECT_EQ(longer.adaptive.resynchronisations(), 1u);
        EXPECT_NEAR(longer.mean_buffer(400, 800), longer.mean_buffer(200, 290), 1);

        path.step_ms = -100;
        const Feed shorter = run(800, path);
        EXPECT_EQ(shorter.late[799], shorter.late[289]);
        EXPECT_EQ(shorter.adaptive.resynchronisations(), 0u);
        // The 100 ms shrink away within 60 packets: the packets overtaken
        // on the old path do not hold the buffer up.
        EXPECT_GT(shorter.buffer[300], 100);
        EXPECT_NEAR(shorter.mean_buffer(360, 800), shorter.mean_buffer(200, 290), 1);
        EXPECT_EQ(longer.faults + shorter.faults, 0u);
    }
}

TEST(AdaptiveReceiverTest, AJumpResynchronisesOnceAndLosesNothing) {
    for (const double jitter : {4.0, 30.0}) {
        for (std::uint64_t seed = 1; seed <= 3; ++seed) {
            SCOPED_TRACE(testing::Message() << jitter << " ms, seed " << seed);
            Path path = jittered(jitter, seed);
            path.jump_at = 300;
            path.jump_by = 100;
            const Feed r = run(600, path);
            EXPECT_EQ(r.track.jumps(), 1u);
            EXPECT_EQ(r.adaptive.resynchronisations(), 1u);
            // Only the packets sent before the jump that came after it are
            // late: their slots lie on the other side of the clock's move.
            EXPECT_EQ(r.late[599] - r.late[289], r.across);
            // The buffer goes on as it was, and relearns the same jitter.
            EXPECT_NEAR(r.buffer[320], r.buffer[290], jitter);
            EXPECT_NEAR(r.mean_buffer(400, 600), r.mean_buffer(200, 290), 1);
            EXPECT_EQ(r.faults, 0u);
        }
    }
}

TEST(AdaptiveReceiverTest, OddStreamsGiveFiniteFigures) {
    const auto finite = [](const Feed& r) {
        EXPECT_TRUE(std::isfinite(r.adaptive.figures().delay_ms));
        EXPECT_TRUE(std::isfinite(r.adaptive.playout_delay_ms() + r.adaptive.floor_ms()));
        EXPECT_GE(r.adaptive.target_ms(), R::kMinBufferMs);
        EXPECT_LE(r.adaptive.target_ms(), R::kMaxBufferMs);
    };
    Feed one;
    one.packet(7, 0);
    EXPECT_DOUBLE_EQ(one.adaptive.mean_delay_ms(), R::kStartMs);
    Feed no_clock;  // a codec without a fixed rate
    for (int n = 0; n < 50; ++n) {
        no_clock.packet(n, 20.0 * n, 13);
    }
    EXPECT_FALSE(no_clock.adaptive.has_clock());
    EXPECT_EQ(no_clock.adaptive.figures().bursts.played_followed, 49u);
    Feed odd;  // time running backwards, then huge and non-finite arrivals
    for (int n = 0; n < 300; ++n) {
        odd.packet(n, -15.0 * n);
    }
    const double inf = std::numeric_limits<double>::infinity();
    for (const double at : {1e300, -1e300, inf, -inf, std::nan(""), 5.0, 1e18, 0.0}) {
        odd.packet(odd.analysis.sequence().highest_extended() + 1, at);
        finite(odd);
    }
    Feed huge;
    for (int n = 0; n < 300; ++n) {
        huge.packet(n, 1e300 + (20.0 * n));
    }
    for (const Feed* r : {&one, &no_clock, &huge}) {
        finite(*r);
        EXPECT_EQ(r->adaptive.late(), 0u);
    }
    EXPECT_LE(sizeof(AdaptiveReceiver), 2048u);
}

TEST(AdaptiveReceiverTest, RepeatsAndReorderedPacketsTakeTheirOwnSlot) {
    Feed r;
    for (int n = 0; n < 150; ++n) {
        if (n == 100) {
            r.packet(101, 2005);
            r.packet(100, 2010);  // reordered, in time
            r.packet(100, 2030);  // a repeat, after its due time
            r.packet(99, 2035);   // a repeat of a played one
        } else if (n != 101) {
            r.packet(n, 20.0 * n);
        }
    }
    EXPECT_EQ(r.adaptive.late(), 0u);
    EXPECT_EQ(r.adaptive.figures().bursts.played_followed, 149u);
    EXPECT_EQ(r.adaptive.figures().bursts.lost_followed, 0u);
}

}  // namespace
}  // namespace kestrune

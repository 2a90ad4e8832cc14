// SPDX-License-Identifier: GPL-2.0-or-later
// The fixed receiver on short delay series worked by hand: a sender whose
// clock drifts 1% either way, a route that changes either way, a delay
// spike, a clean series, a lone late packet, a sender restart.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "analysis/quality_score.h"
#include "analysis/stream_pipeline.h"
#include "receiver_feed.h"

namespace kestrune {
namespace {

using test::delay_series;
using test::Path;

struct Played {
    StreamPipeline pipeline;
    std::vector<int> resynchronised_at;  // the packets, by their send order
    std::vector<double> moved_ms;
    std::vector<std::int64_t> dropped;  // slots dropped when the clock moved earlier
    std::vector<double> delays;
    std::vector<bool> played;  // in order of arrival
    const FixedReceiver& fixed() const { return pipeline.fixed(); }
};

Played run(int count, const Path& path, double buffer_ms = 50) {
    Played r;
    r.pipeline.start(buffer_ms, 0);
    for (const StreamPacket& p : delay_series(count, path)) {
        const PipelineStep step = r.pipeline.observe(p, {nullptr, nullptr});
        r.delays.push_back(step.delay.delay_ms);
        r.played.push_back(step.fixed.played);
        if (step.fixed.resynchronised) {
            r.resynchronised_at.push_back(static_cast<int>(p.frame));
            r.moved_ms.push_back(step.fixed.moved_ms);
        }
        for (unsigned k = 0; k < step.fixed.discard_count; ++k) {
            r.dropped.push_back(step.fixed.discard_from + k);
        }
    }
    return r;
}

TEST(FixedReceiver, CleanSeriesAndALoneLatePacket) {
    const Played clean = run(300, {});
    EXPECT_EQ(clean.fixed().late(), 0u);
    EXPECT_EQ(clean.fixed().resynchronisations(), 0u);
    EXPECT_EQ(clean.delays.front(), 0);
    EXPECT_EQ(clean.delays.back(), 0);

    // 80 ms late for a 50 ms buffer: late, and jitter, not a new path.
    Path late;
    late.late_one = 120;
    late.late_ms = 80;
    const Played one = run(300, late);
    EXPECT_EQ(one.fixed().late(), 1u);
    EXPECT_EQ(one.fixed().resynchronisations(), 0u);
    EXPECT_TRUE(one.dropped.empty());
}

TEST(FixedReceiver, FollowsASenderWhoseClockDrifts) {
    // 1% slow: the delay rises 0.2 ms a packet, 10 ms a block of 50; the
    // base moves up to each block's floor, never more than 19.8 ms behind.
    Path slow;
    slow.drift_ppm = -10000;
    const Played s = run(300, slow);
    EXPECT_EQ(s.fixed().late(), 0u);
    EXPECT_EQ(s.fixed().resynchronisations(), 0u);
    EXPECT_NEAR(s.delays.back(), 0.2 * 299, 1e-9);

    // 1% fast: the delay falls 0.2 ms a packet, and the clock moves down
    // to each block's floor: -9.8, -19.8, -29.8, ... The skipped audio makes
    // a whole packet at the third block's end (packet 149), which drops the
    // slot playing then, 149 + ceil((-29.8 + 19.8 - 50) / 20) = 146, with
    // 9.8 ms left over; the fifth makes another (slot 246). Both dropped
    // packets had come early and count as late; no move is a
    // resynchronisation.
    Path fast;
    fast.drift_ppm = 10000;
    const Played f = run(300, fast);
    EXPECT_EQ(f.dropped, (std::vector<std::int64_t>{146, 246}));
    EXPECT_EQ(f.fixed().late(), 2u);
    EXPECT_EQ(f.fixed().resynchronisations(), 0u);
}

TEST(FixedReceiver, ResynchronisesOntoARouteChange) {
    // +100 ms from packet 100: 100..104 come 50 ms after their due time; the
    // fifth late one in a row moves the clock onto the new delay.
    Path longer;
    longer.step_at = 100;
    longer.step_ms = 100;
    const Played up = run(300, longer);
    EXPECT_EQ(up.fixed().late(), 5u);
    EXPECT_EQ(up.resynchronised_at, std::vector<int>{104});
    EXPECT_EQ(up.moved_ms, std::vector<double>{100});
    EXPECT_TRUE(up.dropped.empty());

    // -100 ms from packet 100: packets 100.. overtake 95..99, arriving
    // with them (100 with 95, 101 with 96, ...), so no five early ones come
    // in a row; the block that ends with the 100th arrival, packet 97, has
    // its floor 100 ms down. The clock moves 100 ms earlier (five packets:
    // a resynchronisation), skipping the five slots from the one playing
    // then, 97 + ceil((0 - 0 - 50) / 20) = 95: 95..97 were waiting in the
    // buffer and are dropped, 98 and 99 come after their new due time.
    Path shorter;
    shorter.step_at = 100;
    shorter.step_ms = -100;
    const Played down = run(300, shorter);
    EXPECT_EQ(down.resynchronised_at, std::vector<int>{97});
    EXPECT_EQ(down.moved_ms, std::vector<double>{-100});
    EXPECT_EQ(down.dropped, (std::vector<std::int64_t>{95, 96, 97, 98, 99}));
    EXPECT_EQ(down.fixed().late(), 5u);
}

TEST(FixedReceiver, ASpikeCostsPacketsAndTheClockComesBack) {
    Path spike;
    spike.spike_at = 100;
    spike.spike_ms = 150;
    spike.jitter_ms = 4;
    const Played r = run(400, spike);
    EXPECT_GT(r.fixed().late(), 3u);
    EXPECT_LT(r.fixed().late(), 40u);
    EXPECT_GE(r.fixed().resynchronisations(), 2u);  // up, and back down
    // After it the path is as before, and so is the clock: the last 100
    // packets are all played.
    EXPECT_EQ(std::count(r.played.begin() + 300, r.played.end(), false), 0);
}

TEST(FixedReceiver, AJumpResynchronisesOnce) {
    // The sender restarts 100 numbers ahead at packet 150 while its packets
    // go on every 20 ms: the media time jumps by 2 s that the arrivals
    // contradict. One resynchronisation, no late packet, and the delay goes
    // on from the packet before.
    Path restart;
    restart.jump_at = 150;
    restart.jump_by = 100;
    const Played r = run(300, restart);
    EXPECT_EQ(r.fixed().late(), 0u);
    EXPECT_EQ(r.resynchronised_at, std::vector<int>{150});
    EXPECT_NEAR(r.moved_ms.front(), -2000, 1e-9);
    EXPECT_EQ(r.delays[150], r.delays[149]);
    EXPECT_EQ(r.pipeline.analysis().sequence().missing(), 100u);
}

TEST(FixedReceiver, ScoreSeesDroppedPacketsAndNothingPlayedScoresZero) {
    Path shorter;
    shorter.step_at = 100;
    shorter.step_ms = -100;
    const Played down = run(300, shorter);
    const ReceiverFigures f = down.fixed().figures();
    EXPECT_EQ(f.delay_ms, 50);
    EXPECT_EQ(f.late, 5u);
    // Dropped slots are unplayed slots of the burst counts: one run of five.
    EXPECT_EQ(f.bursts.played_to_lost, 1u);
    EXPECT_EQ(f.bursts.lost_to_played, 1u);

    // R stays within 0..100: one slot played in 300 scores what the
    // E-model gives, at least 0; none played scores R 0 and MOS 1.
    const auto score = stream_score(down.pipeline.analysis(), {50, 299, {}}, 0);
    ASSERT_TRUE(score);
    EXPECT_GE(score->r, 0);
    const auto none = stream_score(down.pipeline.analysis(), {50, 300, {}}, 0);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->r, 0);
    EXPECT_EQ(none->mos, 1);
}

}  // namespace
}  // namespace kestrune

// SPDX-License-Identifier: GPL-2.0-or-later
// The sender clock's drift and the packet delay variation on synthetic
// calls of 20 ms packets: a path of a clock drift, route changes and
// spikes, jitter on top, losses, and the packets taken in arrival order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/delay_variation.h"
#include "analysis/drift_estimate.h"

namespace kestrune {
namespace {

constexpr double kPacketMs = 20;

// splitmix64: the same series on every platform.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    double uniform() {  // [0, 1)
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<double>((z ^ (z >> 31)) >> 11) * 0x1.0p-53;
    }

private:
    std::uint64_t state_;
};

struct Call {
    double seconds = 60;
    double ppm = 0;  // the sender clock's rate: positive fast
    double jitter_ms = 4;
    bool heavy_tail = false;  // Pareto jitter (alpha 1.5): 1 ms median, 200 ms at 99.9%
    double loss = 0;
    std::vector<std::pair<double, double>> steps;  // media ms, delay change ms
    std::vector<double> spikes;                    // start ms of 150 ms up over 1 s, down over 1 s
    std::uint64_t seed = 1;
};

struct Packet {
    double media_ms;
    double delay_ms;
};

double path_ms(const Call& c, double m) {
    double d = -c.ppm * 1e-6 * m;
    for (const auto& [at, by] : c.steps) {
        d += m >= at ? by : 0;
    }
    for (double at : c.spikes) {
        const double t = m - at;
        d += t <= 0 || t >= 2000 ? 0 : 150 * (t < 1000 ? t / 1000 : (2000 - t) / 1000);
    }
    return d;
}

// In arrival order, delays relative to the first packet's.
std::vector<Packet> generate(const Call& c) {
    Random r(c.seed);
    std::vector<Packet> out;
    const int n = static_cast<int>(c.seconds * 1000 / kPacketMs);
    for (int i = 0; i < n; ++i) {
        const double m = i * kPacketMs;
        const double jitter = c.heavy_tail
                                  ? std::min(2000.0, std::pow(1 - r.uniform(), -1 / 1.5) - 1)
                                  : c.jitter_ms * r.uniform();
        const bool lost = r.uniform() < c.loss;
        if (i == 0 || !lost) {
            out.push_back({m, path_ms(c, m) + jitter});
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const Packet& a, const Packet& b) {
        return a.media_ms + a.delay_ms < b.media_ms + b.delay_ms;
    });
    const double first = out.front().delay_ms + out.front().media_ms;
    for (Packet& p : out) {
        p.delay_ms -= first;  // arrival from the first arrival, minus media time
    }
    return out;
}

DriftEstimate estimate(const std::vector<Packet>& packets) {
    DriftEstimate e;
    for (const Packet& p : packets) {
        e.add(p.media_ms, p.delay_ms);
    }
    return e;
}

std::string describe(const Call& c) {
    std::string s = std::to_string(c.ppm) + " ppm, jitter " + std::to_string(c.jitter_ms) +
                    (c.heavy_tail ? " heavy-tailed" : "") + ", loss " + std::to_string(c.loss) +
                    ", seed " + std::to_string(c.seed);
    for (const auto& [at, by] : c.steps) {
        s += ", step " + std::to_string(by) + " at " + std::to_string(at);
    }
    for (double at : c.spikes) {
        s += ", spike at " + std::to_string(at);
    }
    return s;
}

// A least-squares line through every packet's delay: what the floors and
// the runs are there to beat.
double naive_ppm(const std::vector<Packet>& packets) {
    double n = 0;
    double mx = 0;
    double my = 0;
    double sxx = 0;
    double sxy = 0;
    for (const Packet& p : packets) {
        ++n;
        const double dx = p.media_ms - mx;
        mx += dx / n;
        my += (p.delay_ms - my) / n;
        sxx += dx * (p.media_ms - mx);
        sxy += dx * (p.delay_ms - my);
    }
    return -sxy / sxx * 1e6;
}

TEST(DriftEstimate, FollowsTheSenderClockThroughRouteChangesAndSpikes) {
    const std::vector<std::vector<std::pair<double, double>>> routes = {
        {},
        {{10000, 100}},
        {{10000, -100}},
        {{10000, 100}, {30000, -100}},
        {{10000, -100}, {30000, 100}}};
    double worst = 0;
    for (double ppm : {-1000.0, 0.0, 1000.0}) {
        for (const auto& steps : routes) {
            for (bool spike : {false, true}) {
                Call c;
                c.seconds = 70;
                c.ppm = ppm;
                c.steps = steps;
                if (spike) {
                    c.spikes = {40500};
                }
                c.seed = static_cast<std::uint64_t>(ppm + 5000) + steps.size() * 7 + spike;
                SCOPED_TRACE(describe(c));
                const DriftEstimate e = estimate(generate(c));
                ASSERT_TRUE(e.reliable());
                EXPECT_NEAR(e.ppm(), ppm, 50);
                worst = std::max(worst, std::fabs(e.ppm() - ppm));
            }
        }
    }
    std::printf("worst error with 0..4 ms of jitter: %.2f ppm\n", worst);
}

TEST(DriftEstimate, ARouteChangeIsNotTakenForDrift) {
    // Steps that a line through the delays would read as thousands of ppm.
    Call c;
    c.seconds = 120;
    c.steps = {{30000, 100}, {60000, 100}, {90000, -50}};
    const std::vector<Packet> packets = generate(c);
    ASSERT_GT(std::fabs(naive_ppm(packets)), 1000);
    const DriftEstimate e = estimate(packets);
    EXPECT_NEAR(e.ppm(), 0, 10);
    // The same with the steps inside the floor windows and a drift under
    // them.
    c.ppm = 1000;
    c.steps = {{30510, 100}, {60250, 100}, {90730, -50}};
    EXPECT_NEAR(estimate(generate(c)).ppm(), 1000, 10);
}

TEST(DriftEstimate, StaysCloseUnderHeavyJitterAndLoss) {
    double worst_heavy = 0;
    double worst_loss = 0;
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
        for (double ppm : {-1000.0, 0.0, 1000.0}) {
            Call c;
            c.seconds = 60;
            c.ppm = ppm;
            c.seed = seed;
            c.jitter_ms = 60;
            c.steps = {{20000, seed % 2 ? 100.0 : -100.0}};
            const double heavy = std::fabs(estimate(generate(c)).ppm() - ppm);
            c.jitter_ms = 4;
            c.loss = 0.05;
            const double lossy = std::fabs(estimate(generate(c)).ppm() - ppm);
            SCOPED_TRACE(describe(c));
            EXPECT_LE(heavy, 100);
            EXPECT_LE(lossy, 50);
            worst_heavy = std::max(worst_heavy, heavy);
            worst_loss = std::max(worst_loss, lossy);
        }
    }
    // Pareto jitter: a heavy tail over the floors' few lowest packets.
    Call c;
    c.heavy_tail = true;
    c.ppm = -1000;
    EXPECT_NEAR(estimate(generate(c)).ppm(), -1000, 50);
    std::printf("worst error: %.2f ppm with 0..60 ms of jitter, %.2f ppm with 5%% loss\n",
                worst_heavy, worst_loss);
}

TEST(DriftEstimate, IsReliableAfterThirtySecondsOfMediaTime) {
    DriftEstimate e;
    EXPECT_FALSE(e.has_fit());
    EXPECT_EQ(e.ppm(), 0);
    Call c;
    c.seconds = 40;
    c.ppm = 1000;
    for (const Packet& p : generate(c)) {
        e.add(p.media_ms, p.delay_ms);
        EXPECT_EQ(e.reliable(), e.span_ms() >= 30000) << p.media_ms;
        if (p.media_ms < 1000) {
            EXPECT_FALSE(e.has_fit());
        }
    }
    EXPECT_TRUE(e.reliable());
    EXPECT_NEAR(e.drift_ms(10000, 30000), -20, 1);
    EXPECT_NEAR(e.drift_ms_at(30000), -30, 1.5);
}

TEST(DriftEstimate, KeepsItsSlopeAcrossASenderRestart) {
    // Media time starts over at 25 s, the delays continuing.
    Call c;
    c.ppm = -1000;
    c.seconds = 50;
    std::vector<Packet> packets = generate(c);
    DriftEstimate e;
    for (const Packet& p : packets) {
        const bool second = p.media_ms >= 25000;
        e.add(second ? p.media_ms - 25000 : p.media_ms, p.delay_ms);
    }
    EXPECT_NEAR(e.span_ms(), 50000, 100);
    EXPECT_TRUE(e.reliable());
    EXPECT_NEAR(e.ppm(), -1000, 50);
}

TEST(DriftEstimate, StaysFiniteOnAbsurdInput) {
    DriftEstimate e;
    const double huge = std::numeric_limits<double>::max();
    const double series[][2] = {{0, 0},          {huge, -huge}, {-huge, huge}, {1e-300, 0},
                                {2e-300, 1e300}, {5, -1e308},   {1e15, 3},     {-1e15, -1e15}};
    for (int round = 0; round < 200; ++round) {
        for (const auto& p : series) {
            e.add(p[0] * (round % 3 + 1), p[1] + round);
            ASSERT_TRUE(std::isfinite(e.ppm()));
            ASSERT_TRUE(std::isfinite(e.drift_ms_at(huge)));
            ASSERT_TRUE(std::isfinite(e.span_ms()));
        }
    }
    EXPECT_LE(std::fabs(e.slope()), DriftEstimate::kMaxSlope);
}

// --- Delay variation ---------------------------------------------------

// The exact values of the definition, each packet stored: a segment's
// delays minus the drift at its close (none for one whose values came
// before the estimate had a fit), minus the least of them; the stream's
// first packets, as DelayVariation holds them, go in when the hold ends.
class ExactVariation {
public:
    explicit ExactVariation(double segment_ms) : segment_ms_(segment_ms) {}

    void add(double m, double d, const DriftEstimate& drift) {
        if (holding_) {
            if (held_.empty()) {
                held_origin_ = m;
            }
            if (held_.size() < DelayVariation::kHeld && m >= held_origin_ &&
                m - held_origin_ < DelayVariation::kHeldMediaMs) {
                held_.push_back({m, d});
                return;
            }
            holding_ = false;
            for (const Packet& p : held_) {
                add_now(p.media_ms, p.delay_ms, drift);
            }
        }
        add_now(m, d, drift);
    }

private:
    void add_now(double m, double d, const DriftEstimate& drift) {
        if (!open_.empty() && (m >= end_ || drift.has_fit() != corrected_)) {
            close(drift);
        }
        if (!started_) {
            started_ = true;
            origin_ = m;
        }
        if (open_.empty()) {
            corrected_ = drift.has_fit();
            start_ = origin_ + segment_ms_ * std::floor((m - origin_) / segment_ms_);
            end_ = start_ + segment_ms_;
        }
        open_.push_back({m, d});
    }

public:
    // The open segment closed with the estimate at the end.
    double quantile(double q, const DriftEstimate& drift) const {
        ExactVariation all = *this;
        if (all.holding_) {
            all.holding_ = false;
            for (const Packet& p : held_) {
                all.add_now(p.media_ms, p.delay_ms, DriftEstimate{});
            }
        }
        all.close(drift);
        std::vector<double> v = all.values_;
        std::sort(v.begin(), v.end());
        const double rank = std::ceil(q * static_cast<double>(v.size()) - 1e-6);
        return v[static_cast<std::size_t>(std::max(rank, 1.0)) - 1];
    }

private:
    void close(const DriftEstimate& drift) {
        const double slope = corrected_ ? drift.slope() : 0;
        double least = std::numeric_limits<double>::infinity();
        for (const Packet& p : open_) {
            least = std::min(least, p.delay_ms - slope * (p.media_ms - start_));
        }
        for (const Packet& p : open_) {
            values_.push_back(p.delay_ms - slope * (p.media_ms - start_) - least);
        }
        open_.clear();
    }

    double segment_ms_;
    bool holding_ = true;
    double held_origin_ = 0;
    std::vector<Packet> held_;
    bool started_ = false;
    bool corrected_ = false;
    double origin_ = 0;  // the grid's: the first packet to arrive
    double start_ = 0;
    double end_ = 0;
    std::vector<Packet> open_;
    std::vector<double> values_;
};

struct Fed {
    DriftEstimate drift;
    DelayVariation pdv;
    ExactVariation exact;
};

Fed feed(const Call& c, double segment_ms) {
    Fed r{{}, DelayVariation(segment_ms), ExactVariation(segment_ms)};
    for (const Packet& p : generate(c)) {
        r.drift.add(p.media_ms, p.delay_ms);
        r.pdv.add(p.media_ms, p.delay_ms, r.drift);
        r.exact.add(p.media_ms, p.delay_ms, r.drift);
    }
    return r;
}

TEST(DelayVariation, QuantilesMatchTheSortedValues) {
    std::vector<Call> calls;
    for (double ppm : {-1000.0, 0.0, 1000.0}) {
        Call c;
        c.seconds = 90;
        c.ppm = ppm;
        calls.push_back(c);
        c.heavy_tail = true;
        calls.push_back(c);
        c.heavy_tail = false;
        c.jitter_ms = 60;
        c.steps = {{12500, 100}, {47300, -80}};  // inside segments of 5 s and 10 s
        calls.push_back(c);
        c.jitter_ms = 4;
        c.loss = 0.05;
        c.spikes = {61300};
        calls.push_back(c);
    }
    double worst = 0;  // in shares of the allowance
    for (const Call& c : calls) {
        for (double segment_ms : {5000.0, 10000.0}) {
            SCOPED_TRACE(describe(c) + ", segments of " + std::to_string(segment_ms));
            const Fed r = feed(c, segment_ms);
            ASSERT_TRUE(r.drift.reliable());
            ASSERT_EQ(r.pdv.count(), generate(c).size());
            for (double q : {0.5, 0.99, 0.999}) {
                const double exact = r.exact.quantile(q, r.drift);
                const double allowed = std::max(1.0, 0.02 * exact);
                ASSERT_TRUE(r.pdv.quantile(q).has_value());
                EXPECT_NEAR(*r.pdv.quantile(q), exact, allowed) << "quantile " << q;
                worst = std::max(worst, std::fabs(*r.pdv.quantile(q) - exact) / allowed);
            }
        }
    }
    std::printf("worst quantile error: %.0f%% of the allowance\n", 100 * worst);
}

TEST(DelayVariation, ACleanPathShowsItsJitterWhateverTheDrift) {
    for (double ppm : {-1000.0, 0.0, 1000.0}) {
        for (double segment_ms : {5000.0, 10000.0}) {
            Call c;
            c.seconds = 300;
            c.ppm = ppm;
            c.seed = 11;
            SCOPED_TRACE(describe(c) + ", segments of " + std::to_string(segment_ms));
            const Fed r = feed(c, segment_ms);
            EXPECT_LE(*r.pdv.quantile(0.99), 5);
            EXPECT_LE(*r.pdv.quantile(0.999), 5);
            EXPECT_GE(*r.pdv.quantile(0.99), 3);
        }
    }
}

TEST(DelayVariation, ARouteChangeCountsInsideItsSegmentOnly) {
    // 100 ms more from 12.5 s: half of the segment 10..15 s sits 100 ms
    // above its floor, 125 of the call's 3000 packets (4.2%).
    Call c;
    c.steps = {{12500, 100}};
    const Fed inside = feed(c, 5000);
    EXPECT_NEAR(*inside.pdv.quantile(0.98), 102, 3);
    EXPECT_LE(*inside.pdv.quantile(0.95), 5);
    // On a segment boundary it is no variation.
    c.steps = {{15000, 100}};
    EXPECT_LE(*feed(c, 5000).pdv.quantile(0.999), 5);
}

TEST(DelayVariation, AQueryMidStreamCountsTheOpenSegmentAndChangesNothing) {
    Call c;
    c.jitter_ms = 60;
    c.ppm = 1000;
    const std::vector<Packet> packets = generate(c);
    DriftEstimate drift;
    DelayVariation queried(10000);
    DelayVariation quiet(10000);
    EXPECT_FALSE(queried.quantile(0.99).has_value());
    for (std::size_t i = 0; i < packets.size(); ++i) {
        drift.add(packets[i].media_ms, packets[i].delay_ms);
        queried.add(packets[i].media_ms, packets[i].delay_ms, drift);
        quiet.add(packets[i].media_ms, packets[i].delay_ms, drift);
        if (i % 97 == 0) {
            // From the first packet on: 0 for one value, then the jitter.
            const std::optional<double> q = queried.quantile(0.99);
            ASSERT_TRUE(q.has_value());
            EXPECT_LE(*q, i < 50 ? 64 : 62) << i;
            EXPECT_GE(*q, i < 50 ? 0 : 40) << i;
        }
    }
    for (double q : {0.0, 0.5, 0.99, 0.999, 1.0}) {
        EXPECT_EQ(queried.quantile(q), quiet.quantile(q));
    }
    EXPECT_EQ(queried.count(), packets.size());
}

TEST(DelayVariation, ClampsAbsurdValuesIntoItsRange) {
    DriftEstimate drift;
    DelayVariation pdv(5000);
    const double huge = std::numeric_limits<double>::max();
    // A clean path, then values far off either way, time running backwards.
    for (int i = 0; i < 1000; ++i) {
        pdv.add(i * kPacketMs, (i % 5) * 0.5, drift);
    }
    pdv.add(20000, huge, drift);
    pdv.add(-huge, -huge, drift);
    pdv.add(huge, 1e9, drift);
    pdv.add(3, -1e9, drift);
    for (int i = 0; i < 3; ++i) {
        pdv.add(4 + i, 0, drift);
    }
    EXPECT_EQ(pdv.count(), 1007u);
    for (double q : {-1.0, 0.0, 0.5, 0.99, 0.999, 1.0, 2.0}) {
        ASSERT_TRUE(pdv.quantile(q).has_value());
        EXPECT_TRUE(std::isfinite(*pdv.quantile(q)));
        EXPECT_GE(*pdv.quantile(q), 0);
        EXPECT_LE(*pdv.quantile(q), DelayVariation::kTopMs);
    }
    EXPECT_LE(*pdv.quantile(0.99), 2.5);
    EXPECT_EQ(*pdv.quantile(1), DelayVariation::kTopMs);
    EXPECT_EQ(*pdv.quantile(-1), *pdv.quantile(0));
}

TEST(DelayEstimates, FitTheirMemoryBudget) {
    std::printf("sizeof DriftEstimate %zu, DelayVariation %zu\n", sizeof(DriftEstimate),
                sizeof(DelayVariation));
    EXPECT_LE(sizeof(DriftEstimate) + sizeof(DelayVariation), 4608u);
}

}  // namespace
}  // namespace kestrune

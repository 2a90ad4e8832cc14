// SPDX-License-Identifier: GPL-2.0-or-later
// One stream of 20 ms G.711 packets over a path chosen for a test: a
// sender's clock that drifts, a route that changes, a delay spike, jitter
// even or heavy-tailed, late packets, a sender restart. Every receiver
// model's test feeds on it. The jitter comes from splitmix64, not from
// <random>'s distributions, whose numbers differ between standard
// libraries: a bound worked out from one run holds on every platform.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "analysis/stream_analysis.h"

namespace kestrune::test {

struct Path {
    double drift_ppm = 0;  // positive: the sender's clock runs fast
    int step_at = -1;      // from this packet on, the route adds step_ms
    double step_ms = 0;
    int spike_at = -1;  // a raised cosine of spike_ms over 100 packets (2 s)
    double spike_ms = 0;
    double jitter_ms = 0;  // uniform in [0, jitter_ms)
    int calm_at = -1;      // from this packet on, uniform in [0, calm_ms) instead
    double calm_ms = 0;
    // Heavy-tailed jitter besides: Lomax of shape 1.5 and scale tail_ms,
    // beyond x with a chance of (1 + x / tail_ms)^-1.5, at most 400 ms.
    double tail_ms = 0;
    std::uint64_t seed = 1;
    int jump_at = -1;  // from this packet on, numbers jump ahead by jump_by
    int jump_by = 0;
    // This packet comes late_ms later: alone, or with every late_every-th
    // one after it.
    int late_one = -1;
    int late_every = 0;
    double late_ms = 0;
};

// splitmix64 onto [0, 1) in steps of 2^-53.
inline double uniform(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<double>((z ^ (z >> 31)) >> 11) * 0x1.0p-53;
}

// The extra delay the path gives packet n, jitter left out.
inline double path_delay_ms(const Path& p, int n) {
    double d = -p.drift_ppm * 1e-6 * 20.0 * n;
    if (p.step_at >= 0 && n >= p.step_at) {
        d += p.step_ms;
    }
    if (p.spike_at >= 0 && n >= p.spike_at && n < p.spike_at + 100) {
        constexpr double kPi = 3.14159265358979323846;
        d += p.spike_ms * (1 - std::cos(2 * kPi * (n - p.spike_at) / 100.0)) / 2;
    }
    if (p.late_one >= 0 && n >= p.late_one &&
        (p.late_every > 0 ? (n - p.late_one) % p.late_every == 0 : n == p.late_one)) {
        d += p.late_ms;
    }
    return d;
}

// The jitter of packet n, the next numbers drawn from state.
inline double jitter_ms(const Path& p, int n, std::uint64_t& state) {
    const double even_ms = p.calm_at >= 0 && n >= p.calm_at ? p.calm_ms : p.jitter_ms;
    double j = even_ms > 0 ? even_ms * uniform(state) : 0;
    if (p.tail_ms > 0) {
        j += std::min(p.tail_ms * (std::pow(1 - uniform(state), -1 / 1.5) - 1), 400.0);
    }
    return j;
}

// Packets 0..count-1 sent every 20 ms, in order of arrival; frame is the
// send order.
inline std::vector<StreamPacket> delay_series(int count, const Path& p) {
    std::uint64_t state = p.seed;
    std::vector<StreamPacket> out;
    for (int n = 0; n < count; ++n) {
        const int number = n + (p.jump_at >= 0 && n >= p.jump_at ? p.jump_by : 0);
        const double extra = jitter_ms(p, n, state);
        out.push_back({static_cast<std::uint8_t>(number), 0, 5, 160,
                       (20.0 * n) + path_delay_ms(p, n) + extra, static_cast<std::uint32_t>(n)});
    }
    std::stable_sort(out.begin(), out.end(), [](const StreamPacket& a, const StreamPacket& b) {
        return a.arrival_ms < b.arrival_ms;
    });
    // Times from the first arrival, as the pipeline takes them.
    const double first = out.empty() ? 0 : out.front().arrival_ms;
    for (StreamPacket& s : out) {
        s.arrival_ms -= first;
    }
    return out;
}

}  // namespace kestrune::test

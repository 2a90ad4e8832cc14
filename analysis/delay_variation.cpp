// SPDX-License-Identifier: GPL-2.0-or-later
#include "delay_variation.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace kestrune {

namespace {

using Dv = DelayVariation;

constexpr int kOverflowBin = Dv::kBins - 1;
// ln(kTopMs / kLogFromMs) / kLogBins, 7 octaves.
constexpr double kLogStep = 7 * 0.693147180559945309417 / Dv::kLogBins;

double limited(double ms) {
    if (!(ms >= -DriftEstimate::kLimitMs)) {
        return -DriftEstimate::kLimitMs;
    }
    return std::min(ms, DriftEstimate::kLimitMs);
}

int bin_of(double ms) {
    if (!(ms > 0)) {
        return 0;
    }
    if (ms < Dv::kLogFromMs) {
        return static_cast<int>(ms / Dv::kBinMs);
    }
    if (ms >= Dv::kTopMs) {
        return kOverflowBin;
    }
    const int k = static_cast<int>(std::log(ms / Dv::kLogFromMs) / kLogStep);
    return Dv::kLinearBins + std::min(k, Dv::kLogBins - 1);
}

// The midpoint of a bin: linear below kLogFromMs, geometric above.
double midpoint(int bin) {
    if (bin < Dv::kLinearBins) {
        return (bin + 0.5) * Dv::kBinMs;
    }
    if (bin >= kOverflowBin) {
        return Dv::kTopMs;
    }
    return Dv::kLogFromMs * std::exp((bin - Dv::kLinearBins + 0.5) * kLogStep);
}

// The bin a bin's values go to when they all move by the same amount. The
// overflow bin stays: its values' size is not known.
int moved(int bin, double by_ms) {
    return bin == kOverflowBin ? kOverflowBin : bin_of(midpoint(bin) + by_ms);
}

void add_saturated(std::uint32_t& to, std::uint32_t count) {
    constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();
    to = count > kMax - to ? kMax : to + count;
}

}  // namespace

DelayVariation::DelayVariation(double segment_ms)
    : segment_ms_(segment_ms >= kMinSegmentMs ? std::min(segment_ms, kMaxSegmentMs)
                                              : kMinSegmentMs) {}

void DelayVariation::add(double media_ms, double delay_ms, const DriftEstimate& drift) {
    if (holding_) {
        const double m = limited(media_ms);
        if (held_count_ == 0) {
            held_origin_ = m;
        }
        const double offset = m - held_origin_;
        if (held_count_ < kHeld && offset >= 0 && offset < kHeldMediaMs) {
            held_media_[held_count_] = static_cast<std::uint16_t>(std::lround(offset * 8));
            held_delay_ms_[held_count_] = static_cast<float>(limited(delay_ms));
            ++held_count_;
            return;
        }
        release(drift);
    }
    add_now(media_ms, delay_ms, drift);
}

// The held packets, with the drift as it stands now taken out of them.
void DelayVariation::release(const DriftEstimate& drift) {
    holding_ = false;
    for (unsigned i = 0; i < held_count_; ++i) {
        add_now(held_origin_ + (held_media_[i] / 8.0), held_delay_ms_[i], drift);
    }
    held_count_ = 0;
}

void DelayVariation::add_now(double media_ms, double delay_ms, const DriftEstimate& drift) {
    const double m = limited(media_ms);
    const bool corrected = drift.has_fit();
    if (!started_) {
        started_ = true;
        origin_ = m;
    } else if (m < segment_start_ - DriftEstimate::kRestartMs) {
        close_segment();
        origin_ = m;
    } else if (m >= segment_end_ || corrected != corrected_ ||
               segment_count_ == kMaxSegmentPackets) {
        close_segment();
    }
    if (segment_count_ == 0) {
        open_segment(m, corrected);
    }
    const double value = limited(delay_ms) - (drift.slope() * (m - segment_start_));
    if (segment_count_ == 0) {
        base_ = value - kMarginMs;
        least_ = value;
    } else if (value < least_) {
        least_ = value;
        if (value < base_) {
            rebase(value);
        }
    }
    ++segment_[bin_of(value - base_)];
    ++segment_count_;
}

std::optional<double> DelayVariation::quantile(double q) const {
    if (holding_ && held_count_ != 0) {
        // A stream too short for the hold to end: its values as they are.
        DelayVariation released = *this;
        released.release(DriftEstimate{});
        return released.quantile_of_binned(q);
    }
    return quantile_of_binned(q);
}

std::optional<double> DelayVariation::quantile_of_binned(double q) const {
    std::array<std::uint32_t, kBins> counts = stream_;
    const double above_least = least_ - base_;
    for (int j = 0; j < kBins && segment_count_ > 0; ++j) {
        if (segment_[j] != 0) {
            add_saturated(counts[moved(j, -above_least)], segment_[j]);
        }
    }
    const std::uint64_t total = std::accumulate(counts.begin(), counts.end(), std::uint64_t{0});
    if (total == 0) {
        return std::nullopt;
    }
    const double share = q >= 0 ? std::min(q, 1.0) : 0;
    // The rank of the value asked for, from 1; the small allowance keeps
    // 0.99 of 1000 values at 990 whatever the rounding of 0.99.
    const double wanted = std::ceil((share * static_cast<double>(total)) - 1e-6);
    const std::uint64_t rank =
        std::clamp<std::uint64_t>(wanted >= 1 ? static_cast<std::uint64_t>(wanted) : 1, 1, total);
    std::uint64_t seen = 0;
    for (int j = 0; j < kBins; ++j) {
        seen += counts[j];
        if (seen >= rank) {
            return midpoint(j);
        }
    }
    return midpoint(kOverflowBin);
}

void DelayVariation::open_segment(double media_ms, bool corrected) {
    corrected_ = corrected;
    const double start = origin_ + (segment_ms_ * std::floor((media_ms - origin_) / segment_ms_));
    if (start <= media_ms && media_ms < start + segment_ms_) {
        segment_start_ = start;
        segment_end_ = start + segment_ms_;
    } else {
        // Rounding far from the origin: the segment starts at the packet.
        segment_start_ = media_ms;
        segment_end_ = media_ms + segment_ms_;
    }
}

void DelayVariation::close_segment() {
    if (segment_count_ == 0) {
        return;
    }
    const double above_least = least_ - base_;
    for (int j = 0; j < kBins; ++j) {
        if (segment_[j] != 0) {
            add_saturated(stream_[moved(j, -above_least)], segment_[j]);
        }
    }
    folded_ += segment_count_;
    segment_ = {};
    segment_count_ = 0;
}

void DelayVariation::rebase(double value) {
    // A whole number of bins, so that the linear bins move exactly; the
    // value lands kMarginMs above the new base, or up to a bin more.
    const double bins = std::ceil((base_ - value) / kBinMs) + (kMarginMs / kBinMs);
    const double by = bins * kBinMs;
    std::array<std::uint16_t, kBins> moved_up{};
    for (int j = 0; j < kBins; ++j) {
        if (segment_[j] != 0) {
            // At most kMaxSegmentPackets in all: no bin overflows.
            moved_up[moved(j, by)] += segment_[j];
        }
    }
    segment_ = moved_up;
    base_ -= by;
}

}  // namespace kestrune

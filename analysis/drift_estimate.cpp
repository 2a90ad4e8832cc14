// SPDX-License-Identifier: GPL-2.0-or-later
#include "drift_estimate.h"

#include <algorithm>
#include <cmath>

namespace kestrune {

namespace {

// Also maps a NaN to the lower limit, should one ever come.
double limited(double ms) {
    if (!(ms >= -DriftEstimate::kLimitMs)) {
        return -DriftEstimate::kLimitMs;
    }
    return std::min(ms, DriftEstimate::kLimitMs);
}

}  // namespace

void DriftEstimate::add(double media_ms, double delay_ms) {
    const double m = limited(media_ms);
    const double d = limited(delay_ms);
    if (!started_) {
        started_ = true;
        start_epoch(m);
    } else if (m < window_start_ - kRestartMs) {
        close_window();
        end_run();
        closed_span_ += epoch_high_ - epoch_low_;
        start_epoch(m);
    } else if (m >= window_end_) {
        close_window();
        open_window(m);
    }
    // A packet a little before the window (overtaken on the way) is still a
    // point of the path: it may be the window's floor.
    epoch_low_ = std::min(epoch_low_, m);
    epoch_high_ = std::max(epoch_high_, m);
    if (!window_has_ || d < floor_delay_) {
        window_has_ = true;
        floor_media_ = m;
        floor_delay_ = d;
    }
}

bool DriftEstimate::reliable() const {
    return has_fit_ && span_ms() >= kReliableSpanMs;
}

double DriftEstimate::drift_ms(double from_media_ms, double to_media_ms) const {
    return slope_ * (limited(to_media_ms) - limited(from_media_ms));
}

double DriftEstimate::span_ms() const {
    return started_ ? closed_span_ + (epoch_high_ - epoch_low_) : 0;
}

void DriftEstimate::start_epoch(double media_ms) {
    origin_ = media_ms;
    epoch_low_ = media_ms;
    epoch_high_ = media_ms;
    window_has_ = false;
    open_window(media_ms);
}

void DriftEstimate::open_window(double media_ms) {
    window_start_ = origin_ + (kWindowMs * std::floor((media_ms - origin_) / kWindowMs));
    window_end_ = window_start_ + kWindowMs;
    if (window_start_ > media_ms || media_ms >= window_end_) {
        // Rounding far from the origin: the window starts at the packet.
        window_start_ = media_ms;
        window_end_ = media_ms + kWindowMs;
    }
}

void DriftEstimate::close_window() {
    if (!window_has_) {
        return;
    }
    window_has_ = false;
    ++floors_;
    if (run_n_ > 0) {
        const double off =
            (floor_delay_ - previous_delay_) - (slope_ * (floor_media_ - previous_media_));
        if (!(std::fabs(off) <= kStepMs)) {
            end_run();
        }
    }
    if (run_n_ == 0) {
        run_media0_ = floor_media_;
        run_delay0_ = floor_delay_;
    }
    const double x = floor_media_ - run_media0_;
    const double y = floor_delay_ - run_delay0_;
    ++run_n_;
    const double dx = x - run_mean_x_;
    run_mean_x_ += dx / run_n_;
    run_mean_y_ += (y - run_mean_y_) / run_n_;
    run_sxx_ += dx * (x - run_mean_x_);
    run_sxy_ += dx * (y - run_mean_y_);
    previous_media_ = floor_media_;
    previous_delay_ = floor_delay_;
    update_slope();
}

void DriftEstimate::end_run() {
    pooled_sxx_ += run_sxx_;
    pooled_sxy_ += run_sxy_;
    run_n_ = 0;
    run_mean_x_ = 0;
    run_mean_y_ = 0;
    run_sxx_ = 0;
    run_sxy_ = 0;
}

void DriftEstimate::update_slope() {
    const double sxx = pooled_sxx_ + run_sxx_;
    if (!(sxx >= kMinSpreadMs2)) {
        return;
    }
    has_fit_ = true;
    slope_ = std::clamp((pooled_sxy_ + run_sxy_) / sxx, -kMaxSlope, kMaxSlope);
}

}  // namespace kestrune

// SPDX-License-Identifier: GPL-2.0-or-later
// The rate of a stream's sender clock against the capture's, from the
// delays of its packets: a sender clock running slow by 0.1% makes each
// 20 ms packet 0.02 ms later than the one before, 600 ms after ten minutes.
// Pure arithmetic: no host dependency.
//
// Jitter only ever adds delay, so the least delayed packets show the path
// best: the media time is cut into fixed windows of kWindowMs, and each
// window gives one floor, the packet with its smallest delay (its own media
// time and delay, so that a floor is a real point of the path wherever it
// lies in its window). A line is fitted to the floors by least squares with
// one intercept per run of floors: a run ends where a floor is more than
// kStepMs off the line through the previous floor (with the slope found so
// far), which is a route change, the top of a spike or a window swamped by
// congestion. A step therefore moves no slope: the pair that straddles it
// is left out, and a floor off on its own (a spike) forms a run of one,
// which weighs nothing. Each run's centred sums are pooled into one slope.
//
// Constants: windows of 1 s (50 packets of 20 ms: the floor of 0..4 ms of
// uniform jitter is then within 0.1 ms of the path, that of 0..60 ms within
// about 1 ms); steps of more than 10 ms; a fit once the floors' spread in
// media time is at least that of two floors 0.9 s apart; reliable after
// 30 s of media time. A media time more than kRestartMs before the current
// window is a sender restart: the window and run end, the pooled slope
// stays (the caller keeps the delays continuous across it).
//
// Inputs are clamped to +-kLimitMs and the slope to +-kMaxSlope, so that no
// input, however absurd, gives a NaN or an infinity. Memory is fixed
// (sizeof is 168 bytes on x86-64); add() compares and stores, and does the
// fit's few divisions only once a window, when its floor is taken.
#pragma once

#include <cstdint>

namespace kestrune {

class DriftEstimate {
public:
    static constexpr double kWindowMs = 1000;
    static constexpr double kStepMs = 10;
    static constexpr double kReliableSpanMs = 30000;
    static constexpr double kRestartMs = 2000;
    // The least sum of squared media-time deviations (ms^2) of the floors
    // that gives a slope: two floors 0.9 s apart.
    static constexpr double kMinSpreadMs2 = 0.5 * 900.0 * 900.0;
    static constexpr double kMaxSlope = 1;
    static constexpr double kLimitMs = 1e12;

    // One received packet, in arrival order: its media time from the
    // stream's first packet and its delay (arrival minus media time, both
    // relative to the first packet). Duplicates left out by the caller.
    void add(double media_ms, double delay_ms);

    // A slope is known: the floors span enough media time. Once true it
    // stays true.
    bool has_fit() const { return has_fit_; }
    // The packets span kReliableSpanMs of media time (summed over sender
    // restarts) and the floors give a slope.
    bool reliable() const;
    // Delay gained per ms of media time (0.001 for a sender 0.1% slow); the
    // provisional figure before reliable(), 0 without a fit.
    double slope() const { return slope_; }
    // Positive when the sender's clock runs fast: -slope() in millionths.
    double ppm() const { return -slope_ * 1e6; }
    // The drift's share of the delay gained from one media time to another:
    // subtracting it from the delays leaves the path's own variation.
    double drift_ms(double from_media_ms, double to_media_ms) const;
    // The same from the stream's first packet (media time 0).
    double drift_ms_at(double media_ms) const { return drift_ms(0, media_ms); }
    // Media time covered so far, summed over sender restarts.
    double span_ms() const;
    // Floors taken so far, the one of the open window not counted.
    std::uint32_t floors() const { return floors_; }

private:
    void start_epoch(double media_ms);
    void open_window(double media_ms);
    void close_window();
    void end_run();
    void update_slope();

    bool started_ = false;
    bool has_fit_ = false;
    bool window_has_ = false;
    std::uint32_t floors_ = 0;
    std::uint32_t run_n_ = 0;

    double origin_ = 0;  // the current epoch's first media time: the window grid
    double epoch_low_ = 0;
    double epoch_high_ = 0;
    double closed_span_ = 0;  // of the epochs before the last restart

    double window_start_ = 0;
    double window_end_ = 0;
    double floor_media_ = 0;  // the open window's least delayed packet
    double floor_delay_ = 0;

    double previous_media_ = 0;  // the last floor taken, within the run
    double previous_delay_ = 0;

    // The current run, from its first floor: means and centred sums,
    // updated one floor at a time (Welford), which stays exact over hours.
    double run_media0_ = 0;
    double run_delay0_ = 0;
    double run_mean_x_ = 0;
    double run_mean_y_ = 0;
    double run_sxx_ = 0;
    double run_sxy_ = 0;
    // The ended runs' centred sums.
    double pooled_sxx_ = 0;
    double pooled_sxy_ = 0;

    double slope_ = 0;
};

}  // namespace kestrune

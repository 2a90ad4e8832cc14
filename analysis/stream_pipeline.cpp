// SPDX-License-Identifier: GPL-2.0-or-later
#include "stream_pipeline.h"

namespace kestrune {

void StreamPipeline::start(double jitter_buffer_ms, double interval_ms) {
    *this = StreamPipeline{};
    jitter_buffer_ms_ = jitter_buffer_ms;
    interval_ms_ = interval_ms;
}

PipelineStep StreamPipeline::observe(const StreamPacket& p, IntervalScorer::Closed sink) {
    PipelineStep step{};
    step.packet = analysis_.observe(p);
    step.delay = track_.observe(analysis_, p.arrival_ms);
    step.fixed = fixed_.observe(analysis_, track_, step.delay, jitter_buffer_ms_);
    if (analysis_.packets() == 1 && interval_ms_ > 0) {
        intervals_.emplace();
        // The first packet's due time, where the playout clock starts.
        intervals_->start(interval_ms_, track_.first_arrival_ms() + jitter_buffer_ms_);
    }
    if (intervals_) {
        intervals_->observe(interval_packet(analysis_, step.packet, step.fixed, p), sink);
    }
    return step;
}

}  // namespace kestrune

// SPDX-License-Identifier: GPL-2.0-or-later
#include "interval_score.h"

#include <algorithm>
#include <cmath>

namespace kestrune {

std::optional<QualityScore> interval_score(const IntervalFigures& f, double delay_ms) {
    const std::optional<CodecImpairment> codec = codec_impairment(f.codec);
    if (!codec || f.voice == 0 || f.expected == 0) {
        return std::nullopt;
    }
    const double r = r_factor({f.lost_percent(), f.bursts.burst_ratio(), delay_ms, *codec});
    return QualityScore{r, mos_from_r(r)};
}

IntervalPacket interval_packet(const StreamAnalysis& a, const PacketAnalysis& result,
                               const SlotOutcome& outcome, const StreamPacket& p) {
    return {a.sequence().extended(),       outcome, p.arrival_ms,      a.packet_length_ms(),
            p.packet_type == kVoicePacket, p.codec, result.has_jitter, result.jitter_ms};
}

void IntervalScorer::start(double interval_ms, double first_due_ms) {
    *this = IntervalScorer{};
    interval_ms_ = interval_ms;
    first_due_ms_ = first_due_ms;
}

std::int64_t IntervalScorer::index_of(double ms) const {
    const double k = std::floor((ms - first_due_ms_) / interval_ms_);
    // Before the first due time (a packet before the clock started) is the
    // first interval; a time beyond any capture's reach is clamped, never
    // converted out of range.
    return k <= 0 ? 0 : static_cast<std::int64_t>(std::min(k, 4e18));
}

void IntervalScorer::close_oldest(Closed sink) {
    Open& o = open_at(0);
    o.figures.bursts = o.slots.counts();
    lowest_open_ = std::max(lowest_open_, o.figures.index + 1);
    head_ = (head_ + 1) % kMaxOpen;
    --open_count_;
    sink.closed(sink.context, o.figures);
}

// A slot above every slot seen: its interval holds its due time, unless
// that one is closed already (the packets stopped and came back with the
// clock behind them): then the first one open.
IntervalScorer::Open* IntervalScorer::place_new_slot(std::int64_t slot, double due_ms,
                                                     Closed sink) {
    std::int64_t index = std::max({index_of(due_ms), lowest_open_, last_index_});
    if (open_count_ == 0 || open_at(open_count_ - 1).figures.index != index) {
        if (open_count_ == kMaxOpen) {
            close_oldest(sink);
            index = std::max(index, lowest_open_);
        }
        Open& o = open_at(open_count_++);
        o = Open{};
        o.figures.index = index;
        o.first_slot = slot;
    }
    Open& o = open_at(open_count_ - 1);
    o.last_slot = slot;
    last_index_ = index;
    return &o;
}

IntervalScorer::Open* IntervalScorer::find_open(std::int64_t slot) {
    for (unsigned i = open_count_; i-- > 0;) {
        Open& o = open_at(i);
        if (slot >= o.first_slot && slot <= o.last_slot) {
            return &o;
        }
    }
    return nullptr;  // its interval is closed: it counted as lost there
}

void IntervalScorer::observe(const IntervalPacket& p, Closed sink) {
    const SlotOutcome& out = p.outcome;
    Open* own = nullptr;
    if (!out.duplicate) {
        if (!has_slots_ || p.extended > highest_) {
            // The slots the packet shows missing, then its own; before the
            // clock runs, each counts where the packet arrived.
            const std::int64_t from = has_slots_ ? highest_ + 1 : p.extended;
            for (std::int64_t s = from; s <= p.extended; ++s) {
                const double due =
                    out.has_due
                        ? out.due_ms - (static_cast<double>(p.extended - s) * p.packet_length_ms)
                        : p.arrival_ms;
                Open* o = place_new_slot(s, due, sink);
                o->figures.expected += 1;
                const double end = due + (out.has_due ? p.packet_length_ms : 0);
                o->figures.covered_ms =
                    std::min(interval_ms_,
                             std::max(o->figures.covered_ms, end - start_ms(o->figures.index)));
                if (s != p.extended) {
                    o->slots.received(s, false);
                }
                own = o;
            }
            has_slots_ = true;
            highest_ = p.extended;
        } else {
            own = find_open(p.extended);
        }
    }
    if (own != nullptr) {
        own->slots.received(p.extended, out.played);
        IntervalFigures& f = own->figures;
        (out.played ? f.played : f.late) += 1;
        if (p.voice) {
            f.voice += 1;
            f.codec = f.codec == IntervalFigures::kNoVoice || f.codec == p.codec
                          ? p.codec
                          : StreamAnalysis::kMixedCodecs;
        }
        if (p.has_jitter && (!f.has_jitter || p.jitter_ms > f.max_jitter_ms)) {
            f.has_jitter = true;
            f.max_jitter_ms = p.jitter_ms;
        }
    }
    // Every interval that ended before this arrival, and from now on no
    // new slot goes to one that did.
    while (open_count_ != 0 && start_ms(open_at(0).figures.index + 1) < p.arrival_ms) {
        close_oldest(sink);
    }
    const double ended = std::ceil((p.arrival_ms - first_due_ms_) / interval_ms_) - 1;
    if (ended > static_cast<double>(lowest_open_)) {
        lowest_open_ = static_cast<std::int64_t>(std::min(ended, 4e18));
    }
}

IntervalFigures IntervalScorer::open_figures(unsigned i) const {
    const Open& o = open_at(i);
    IntervalFigures f = o.figures;
    f.bursts = o.slots.counts();
    return f;
}

}  // namespace kestrune

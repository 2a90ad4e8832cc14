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
    if (f.played == 0) {
        return QualityScore{0, mos_from_r(0)};  // nothing was heard
    }
    const double r = r_factor({f.lost_percent(), f.bursts.burst_ratio(), delay_ms, *codec});
    return QualityScore{r, mos_from_r(r)};
}

IntervalPacket interval_packet(const StreamAnalysis& a, const PacketAnalysis& result,
                               const SlotOutcome& outcome, const StreamPacket& p) {
    return {a.sequence().extended(),       outcome, p.arrival_ms,      a.packet_length_ms(),
            p.packet_type == kVoicePacket, p.codec, result.has_jitter, result.jitter_ms};
}

double slot_time_ms(const IntervalPacket& p, std::int64_t slot) {
    return p.outcome.has_due
               ? p.outcome.due_ms - (static_cast<double>(p.extended - slot) * p.packet_length_ms)
               : p.arrival_ms;
}

void IntervalScorer::start(double length_ms, double first_due) {
    // The open intervals are made afresh as they open.
    interval_ms_ = length_ms;
    first_due_ms_ = first_due;
    has_slots_ = false;
    highest_ = last_index_ = lowest_open_ = 0;
    head_ = open_count_ = 0;
}

// The interval k with start_ms(k) <= ms < start_ms(k + 1), the comparisons
// that also close intervals deciding a time on a boundary; 0 before the
// first.
std::int64_t IntervalScorer::index_of(double ms) const {
    // Most slots fall in the newest interval: no division for them.
    if (ms >= start_ms(last_index_) && ms < start_ms(last_index_ + 1)) {
        return last_index_;
    }
    const double guess = std::floor((ms - first_due_ms_) / interval_ms_);
    // A time beyond any capture's reach is clamped, never converted out of
    // range.
    std::int64_t k = guess <= 0 ? 0 : static_cast<std::int64_t>(std::min(guess, 4e18));
    while (k > 0 && ms < start_ms(k)) {
        --k;
    }
    while (ms >= start_ms(k + 1) && k < static_cast<std::int64_t>(4e18)) {
        ++k;
    }
    return k;
}

void IntervalScorer::close_oldest(Closed sink) {
    Open& o = open_at(0);
    o.figures.bursts = o.slots.counts();
    lowest_open_ = std::max(lowest_open_, o.figures.index + 1);
    head_ = (head_ + 1) % kMaxOpen;
    --open_count_;
    sink.closed(sink.context, o.figures);
}

// The interval for new slots from `slot` on whose due times fall in interval
// `index`, its own or the first one open.
IntervalScorer::Open& IntervalScorer::open_for(std::int64_t slot, std::int64_t index, Closed sink) {
    if (open_count_ == 0 || open_at(open_count_ - 1).figures.index != index) {
        if (open_count_ == kMaxOpen) {
            close_oldest(sink);
        }
        Open& o = open_at(open_count_++);
        o = Open{};
        o.figures.index = index;
        o.first_slot = slot;
    }
    last_index_ = index;
    return open_at(open_count_ - 1);
}

// The highest slot up to the packet's whose due time is before the end of
// interval `index`: due times grow by the packet length a slot, counting
// back from the packet's own.
std::int64_t IntervalScorer::last_slot_at_or_before(std::int64_t index,
                                                    const IntervalPacket& p) const {
    const SlotOutcome& out = p.outcome;
    if (!out.has_due || p.packet_length_ms <= 0 || index_of(out.due_ms) <= index) {
        return p.extended;
    }
    const double end = start_ms(index + 1);
    const auto due = [&p](std::int64_t s) { return slot_time_ms(p, s); };
    // At most 128 slots back (the tracker's reach): a first guess, then
    // corrected.
    const double back = std::ceil((out.due_ms - end) / p.packet_length_ms);
    std::int64_t s = p.extended - static_cast<std::int64_t>(std::min(back, 1e6));
    // The same test as the slot's own interval: the division's rounding
    // decides a due time on a boundary.
    while (index_of(due(s)) > index) {
        --s;
    }
    while (s < p.extended && index_of(due(s + 1)) <= index) {
        ++s;
    }
    return s;
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
            // The slots the packet shows missing, then its own, a run per
            // interval; before the clock runs, each counts where the
            // packet arrived.
            std::int64_t s = has_slots_ ? highest_ + 1 : p.extended;
            while (s <= p.extended) {
                const std::int64_t index =
                    std::max({index_of(slot_time_ms(p, s)), lowest_open_, last_index_});
                const std::int64_t last =
                    s == p.extended ? s : std::max(s, last_slot_at_or_before(index, p));
                Open& o = open_for(s, index, sink);
                o.last_slot = last;
                o.figures.expected += static_cast<unsigned>(last - s + 1);
                const double end = slot_time_ms(p, last) + (out.has_due ? p.packet_length_ms : 0);
                o.figures.covered_ms =
                    std::min(interval_ms_, std::max(o.figures.covered_ms, end - start_ms(index)));
                // Missing slots: the lowest sets where the interval's slots
                // start, the highest moves the window past the others.
                const std::int64_t last_missing = std::min(last, p.extended - 1);
                if (s <= last_missing) {
                    o.slots.received(s, false);
                    o.slots.received(last_missing, false);
                }
                own = &o;
                s = last + 1;
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
    // Slots the receiver dropped when it moved its clock earlier: late in
    // the interval of the due time they had.
    for (unsigned k = 0; k < out.discard_count; ++k) {
        Open* o = find_open(out.discard_from + k);
        if (o != nullptr && o->slots.discard(out.discard_from + k)) {
            o->figures.played -= 1;
            o->figures.late += 1;
        }
    }
    // Every interval that ended before this arrival, and from now on no
    // new slot goes to one that did.
    while (open_count_ != 0 && start_ms(open_at(0).figures.index + 1) < p.arrival_ms) {
        close_oldest(sink);
    }
    if (p.arrival_ms > start_ms(lowest_open_ + 1)) {
        // The interval the packet arrived in, or the one before if it
        // arrived right at its end.
        std::int64_t k = index_of(p.arrival_ms);
        k -= k > 0 && start_ms(k) >= p.arrival_ms ? 1 : 0;
        lowest_open_ = std::max(lowest_open_, k);
    }
}

IntervalFigures IntervalScorer::open_figures(unsigned i) const {
    const Open& o = open_at(i);
    IntervalFigures f = o.figures;
    f.bursts = o.slots.counts();
    return f;
}

}  // namespace kestrune

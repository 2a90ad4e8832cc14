// SPDX-License-Identifier: GPL-2.0-or-later
#include "timeline.h"

#include <algorithm>

namespace kestrune::audio {

namespace {
std::uint64_t bit_of(std::int64_t sequence) {
    const auto w = static_cast<std::int64_t>(Timeline::kWindow);
    return std::uint64_t{1} << static_cast<unsigned>(((sequence % w) + w) % w);
}
}  // namespace

Timeline::Timeline(PayloadDecoder& decoder, SampleSink& sink, std::size_t usual_samples_guess)
    : decoder_(decoder), sink_(sink), usual_guess_(usual_samples_guess) {}

Timeline::Slot& Timeline::slot(std::int64_t sequence) {
    const auto w = static_cast<std::int64_t>(kWindow);
    return slots_[static_cast<std::size_t>(((sequence % w) + w) % w)];
}

Timeline::Slot* Timeline::place(std::int64_t sequence) {
    const auto window = static_cast<std::int64_t>(kWindow);
    if (!started_) {
        started_ = true;
        next_ = highest_ = sequence;
    } else if (sequence < next_) {
        // Before the first place: while nothing is written yet the start
        // can still move back, within the window.
        if (written_any_ || highest_ - sequence >= window) {
            const bool repeat = next_ - sequence <= window && (arrived_ & bit_of(sequence)) != 0;
            ++(repeat ? counts_.duplicates : counts_.too_late);
            return nullptr;
        }
        next_ = sequence;
    }
    while (sequence - next_ >= window) {
        write_next();
    }
    highest_ = std::max(highest_, sequence);
    Slot& s = slot(sequence);
    if (s.held != Held::nothing) {
        ++counts_.duplicates;
        return nullptr;
    }
    ++held_;
    return &s;
}

void Timeline::add(std::int64_t sequence, unsigned codec, const std::uint8_t* payload,
                   std::size_t size) {
    if (Slot* s = place(sequence)) {
        const bool usable = payload != nullptr && size <= kMaxPayload;
        s->held = usable ? Held::payload : Held::unusable;
        s->codec = static_cast<std::uint8_t>(codec);
        if (usable) {
            s->bytes.assign(payload, payload + size);
        }
        write_ready();
    }
}

void Timeline::add_not_voice(std::int64_t sequence) {
    if (Slot* s = place(sequence)) {
        s->held = Held::not_voice;
        write_ready();
    }
}

void Timeline::finish() {
    while (started_ && next_ <= highest_) {
        write_next();
    }
}

// Writes the run of places from the first unwritten one once it is a whole
// batch long. A missing place ends the run: the packets after it wait.
void Timeline::write_ready() {
    std::size_t run = 0;
    while (run < kWindow && next_ + static_cast<std::int64_t>(run) <= highest_ &&
           slot(next_ + static_cast<std::int64_t>(run)).held != Held::nothing) {
        ++run;
    }
    if (run < kBatch) {
        return;
    }
    for (; run > 0; --run) {
        write_next();
    }
}

void Timeline::write_next() {
    const std::uint64_t bit = bit_of(next_);
    Slot& s = slot(next_++);
    written_any_ = true;
    decoded_.clear();
    if (s.held == Held::payload &&
        decoder_.decode(s.codec, s.bytes.data(), s.bytes.size(), decoded_) && !decoded_.empty()) {
        ++counts_.decoded;
        note_packet_length(decoded_.size());
        sink_.write(decoded_.data(), decoded_.size());
        counts_.samples += decoded_.size();
    } else {
        if (s.held == Held::nothing) {
            ++counts_.lost;
        } else if (s.held == Held::not_voice) {
            ++counts_.not_voice;
        } else {
            ++counts_.undecodable;
        }
        const std::size_t n = usual_samples();
        sink_.write_silence(n);
        counts_.samples += n;
    }
    if (s.held == Held::nothing) {
        arrived_ &= ~bit;
    } else {
        arrived_ |= bit;
        --held_;
    }
    s.held = Held::nothing;
    std::vector<std::uint8_t>().swap(s.bytes);
}

void Timeline::note_packet_length(std::size_t samples) {
    for (std::size_t i = 0; i < lengths_.size(); ++i) {
        if (length_counts_[i] != 0 && lengths_[i] == samples) {
            ++length_counts_[i];
            return;
        }
    }
    // A new length takes the place of the rarest one.
    const auto rarest = static_cast<std::size_t>(
        std::min_element(length_counts_.begin(), length_counts_.end()) - length_counts_.begin());
    lengths_[rarest] = samples;
    length_counts_[rarest] = 1;
}

std::size_t Timeline::usual_samples() const {
    const auto most = static_cast<std::size_t>(
        std::max_element(length_counts_.begin(), length_counts_.end()) - length_counts_.begin());
    return length_counts_[most] != 0 ? lengths_[most] : usual_guess_;
}

}  // namespace kestrune::audio

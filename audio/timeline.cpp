// SPDX-License-Identifier: GPL-2.0-or-later
#include "timeline.h"

#include <algorithm>
#include <cstring>

namespace kestrune::audio {

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
            ++counts_.too_late;
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
    return &s;
}

void Timeline::add(std::int64_t sequence, const std::uint8_t* payload, std::size_t size) {
    if (Slot* s = place(sequence)) {
        const bool usable = payload != nullptr && size <= kMaxPayload;
        s->held = usable ? Held::payload : Held::unusable;
        if (usable) {
            s->size = static_cast<std::uint8_t>(size);
            std::memcpy(s->bytes.data(), payload, size);
        }
    }
}

void Timeline::add_not_voice(std::int64_t sequence) {
    if (Slot* s = place(sequence)) {
        s->held = Held::not_voice;
    }
}

void Timeline::finish() {
    while (started_ && next_ <= highest_) {
        write_next();
    }
}

void Timeline::write_next() {
    Slot& s = slot(next_++);
    written_any_ = true;
    decoded_.clear();
    if (s.held == Held::payload && decoder_.decode(s.bytes.data(), s.size, decoded_) &&
        !decoded_.empty()) {
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
    s.held = Held::nothing;
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

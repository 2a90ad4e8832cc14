// SPDX-License-Identifier: GPL-2.0-or-later
// One voice stream's packets, put in sequence order and turned into an
// unbroken run of samples: a lost packet becomes silence as long as the
// stream's usual packet, a repeated packet is dropped, a late one goes to
// its place. No host dependency: the decoder and the output are given.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrune::audio {

class PayloadDecoder {
public:
    virtual ~PayloadDecoder() = default;
    // Appends the payload's samples to out; false when it cannot be decoded.
    // codec: the packet's own Codec Type, which may change within a stream.
    virtual bool decode(unsigned codec, const std::uint8_t* payload, std::size_t size,
                        std::vector<std::int16_t>& out) = 0;
};

class SampleSink {
public:
    virtual ~SampleSink() = default;
    virtual void write(const std::int16_t* samples, std::size_t count) = 0;
    virtual void write_silence(std::size_t count) = 0;
};

struct TimelineCounts {
    unsigned long decoded = 0;       // packets decoded into the output
    unsigned long lost = 0;          // never seen: filled with silence
    unsigned long undecodable = 0;   // payload the decoder refused: silence
    unsigned long not_voice = 0;     // the session's other packets: silence
    unsigned long duplicates = 0;    // dropped
    unsigned long too_late = 0;      // came after their place was written
    unsigned long long samples = 0;  // written, silence included
};

class Timeline {
public:
    // How far out of order a packet may arrive and still be placed: a
    // missing packet holds back the ones after it until it comes or the
    // window has moved past its place.
    static constexpr std::size_t kWindow = 64;
    // Packets in sequence are written in runs of this many, so that a
    // stream's output is touched once every kBatch packets (its file may
    // have to be opened again for it) and at most kBatch payloads wait when
    // nothing is missing.
    static constexpr std::size_t kBatch = 16;
    // The Payload Size field's largest value: what one place can hold.
    static constexpr std::size_t kMaxPayload = 255;

    // usual_samples_guess: the length of silence for a lost packet until
    // the stream has shown its usual packet length.
    Timeline(PayloadDecoder& decoder, SampleSink& sink, std::size_t usual_samples_guess);
    // A better guess, from what the packets' headers say they hold.
    void guess_usual_samples(std::size_t samples) { usual_guess_ = samples; }

    // sequence: the packet's extended (unwrapped) sequence number. A null
    // payload stands for one that was not captured whole; its place becomes
    // silence.
    void add(std::int64_t sequence, unsigned codec, const std::uint8_t* payload, std::size_t size);
    // A packet of the session that carries no voice (DTMF, fax, modem) but
    // takes a sequence number: its place becomes silence, and is not lost.
    void add_not_voice(std::int64_t sequence);
    // Writes out everything still held.
    void finish();

    const TimelineCounts& counts() const { return counts_; }
    // Payloads waiting for their turn (at most kWindow).
    std::size_t held() const { return held_; }

private:
    enum class Held : std::uint8_t { nothing, payload, unusable, not_voice };
    struct Slot {
        Held held = Held::nothing;
        std::uint8_t codec = 0;
        // Sized to the payload and given back once written: a stream holds
        // only the payloads that wait.
        std::vector<std::uint8_t> bytes;
    };

    // The slot for the packet, or nullptr when it is not to be kept.
    Slot* place(std::int64_t sequence);
    Slot& slot(std::int64_t sequence);
    void write_ready();
    void write_next();
    void note_packet_length(std::size_t samples);
    std::size_t usual_samples() const;

    PayloadDecoder& decoder_;
    SampleSink& sink_;
    std::array<Slot, kWindow> slots_{};
    bool started_ = false;
    bool written_any_ = false;
    std::int64_t next_ = 0;     // the first place not yet written
    std::int64_t highest_ = 0;  // the highest place held so far
    std::size_t held_ = 0;
    // Of the last kWindow places written, those a packet arrived for (bit
    // place % kWindow): a repeat of one of them is a duplicate, not late.
    std::uint64_t arrived_ = 0;
    std::vector<std::int16_t> decoded_;
    // The few packet lengths seen most, with how often: the usual one is
    // the most frequent.
    std::array<std::size_t, 4> lengths_{};
    std::array<unsigned long, 4> length_counts_{};
    std::size_t usual_guess_;
    TimelineCounts counts_;
};

}  // namespace kestrune::audio

// SPDX-License-Identifier: GPL-2.0-or-later
// An adaptive jitter buffer at the receiver, as today's phones and
// browsers run one: its delay follows the delays it has seen, between
// kMinBufferMs and kMaxBufferMs above the fastest recent packet, and it
// moves by stretching or shrinking the audio it plays, so that no slot is
// ever dropped by a move. Pure arithmetic: no host dependency.
//
// The delay axis: a packet of delay d (PacketDelay) is played if it
// arrives while the playout point has not yet passed it, that is if
// d <= P, P the playout delay in force when it arrives (the one set after
// the packet before it). Its slot is due at
// DelayTrack::on_time_ms(media time) + P. The playout point never runs
// backwards, since P shrinks by less than the audio played meanwhile.
//
// The rule, judged on the packets received (repeats left out):
// - the floor F is the lowest delay of the last kFloorBlocks blocks of
//   kFloorBlock packets and of the block filling now: it follows a path
//   that gets shorter at once, one that gets longer within two seconds or
//   so, and a drifting sender's clock within a fraction of a packet;
// - every packet adds d - F, in bins of kBinMs up to kMaxBufferMs, to a
//   histogram whose older weights fade by kForget per packet (about
//   kMemory packets, three seconds of 20 ms packets, count);
// - the target buffer T is the upper edge of the bin holding the kQuantile
//   quantile of the histogram, plus kMarginMs, kept within kMinBufferMs
//   and kMaxBufferMs; early on, with few packets, the quantile is their
//   highest delay; once the jitter calms, the delays of the rough patch
//   fade below the quantile's share in ln(1 / (1 - kQuantile)) kMemory
//   packets, some 14 s, and the buffer shrinks then;
// - after each packet P moves towards F + T: up by at most kGrowShare of a
//   packet length, down by at most kShrinkShare (the audio of the packet
//   played stretched or shrunk), so one late packet, a small share of the
//   histogram, hardly moves it;
// - a path that got longer: kConfirm packets in a row late resynchronise
//   F onto the lowest of their delays and P onto F + T at once (waiting
//   for the floor and the histogram would lose a second of audio); their
//   delays enter the histogram above the new floor, not the old one;
// - a packet that comes after newer ones enters the histogram above the
//   floor as it was before the next newer one came (up to kReorder
//   packets back): when the path gets shorter, the packets sent before on
//   the old path arrive after the first on the new one, and waited no
//   longer than the old floor says;
// - a jump (DelayTrack) resynchronises too: the floor and the histogram
//   start again from the packet, the buffer above the floor stays; the
//   packets sent before the jump that come after it are judged, but left
//   out of the statistics.
// The buffer's delay is P - F, the delay above the earliest arrival the
// floor allows; the figures take its mean over the played slots. The
// stream's first packet starts P at kStartMs above its delay.
//
// Memory is fixed (the histogram is the bulk of it) and the work per
// packet a few dozen instructions: the weights do not fade one by one,
// each new one is larger by 1 / kForget instead, all being scaled down
// once in a few thousand packets; the quantile's bin moves a bin or two
// at a time as packets come.
#pragma once

#include <array>
#include <cstdint>
#include <limits>

#include "playout.h"
#include "slot_history.h"
#include "stream_analysis.h"

namespace kestrune {

class AdaptiveReceiver {
public:
    // What a listener hears as a conversation without awkward pauses
    // (ITU-T G.114 puts the limit of most applications at 400 ms one way):
    // beyond half a second a buffer costs more than the packets it saves.
    static constexpr double kMinBufferMs = 20;
    static constexpr double kMaxBufferMs = 500;
    static constexpr double kStartMs = 60;
    static constexpr double kBinMs = 5;
    static constexpr unsigned kBins = 100;  // kMaxBufferMs / kBinMs
    // A high quantile, as receivers take, over three seconds of 20 ms
    // packets: a single late packet weighs two thirds of the 1% left above
    // the quantile, so it does not set the buffer; two do.
    static constexpr double kQuantile = 0.99;
    static constexpr double kMarginMs = 10;
    static constexpr unsigned kMemory = 150;
    static constexpr double kForget = 1 - (1.0 / kMemory);
    // Two seconds of 20 ms packets: the lowest delay of so many is the
    // path's own under jitter, and a sender drifting by 0.1% moves it by
    // 2 ms only.
    static constexpr unsigned kFloorBlock = 25;
    static constexpr unsigned kFloorBlocks = 4;
    // Time-scale modification: a packet played a quarter longer or a tenth
    // shorter goes unnoticed in speech; growing is the faster, since a
    // buffer short of its target loses packets.
    static constexpr double kGrowShare = 0.25;
    static constexpr double kShrinkShare = 0.1;
    // Packets in a row late that tell the path got longer: one or two are
    // jitter, three a new route (at a cost of three packets).
    static constexpr unsigned kConfirm = 3;
    // Packets a reordered one may lie behind and still be measured against
    // the floor of its own time: a path shorter by 300 ms.
    static constexpr unsigned kReorder = 16;

    // Call after DelayTrack::observe() with the same packet. Until the
    // stream has a media clock (a voice packet of a codec with a fixed
    // rate) nothing can be due, so the packets before it count as played;
    // so does a packet whose delay is not a finite number.
    SlotOutcome observe(const StreamAnalysis& a, const DelayTrack& track, const PacketDelay& d);

    // Distinct packets that came after they were due (repeats not
    // counted); no move of the buffer drops one.
    unsigned late() const { return late_; }
    bool has_clock() const { return has_clock_; }
    // The buffer now: the playout delay above the floor.
    double buffer_ms() const { return playout_ms_ - floor_ms_; }
    double playout_delay_ms() const { return playout_ms_; }
    double floor_ms() const { return floor_ms_; }
    // Where the buffer is heading, above the floor.
    double target_ms() const { return target_ms_; }
    // The mean buffer over the played slots; the buffer now before any.
    double mean_delay_ms() const;
    // The first packet's due time on the clock, where the playout starts.
    double first_due_ms() const { return first_due_ms_; }
    // Times the buffer moved at once, for a route change or a jump (not
    // the gradual moves).
    unsigned resynchronisations() const { return resyncs_; }
    const SlotHistory& slots() const { return slots_; }
    ReceiverFigures figures() const { return {mean_delay_ms(), late_, slots_.counts()}; }

private:
    // The floor, or the floor and the histogram, start again at a delay.
    void restart_floor(double delay_ms);
    void restart(double delay_ms);
    void add_floor(double delay_ms);
    // The floor a packet waited above: for one that came after newer
    // ones, the floor before the next newer one came.
    double floor_for(std::int64_t extended, std::int64_t highest) const;
    // Adds a delay above the floor and moves the target.
    void add_sample(double above_floor_ms);
    void rescale();

    bool has_clock_ = false;
    unsigned duplicates_ = 0;
    unsigned late_ = 0;
    unsigned resyncs_ = 0;
    double first_due_ms_ = 0;
    double playout_ms_ = kStartMs;
    double target_ms_ = kMinBufferMs;
    double played_sum_ms_ = 0;
    unsigned played_ = 0;
    std::int64_t jumped_at_ = std::numeric_limits<std::int64_t>::min();  // the last jump

    // The floor: the lowest delays of the last blocks, the one filling.
    double floor_ms_ = 0;
    std::array<double, kFloorBlocks> block_lowest_ms_{};
    unsigned block_next_ = 0;
    double blocks_lowest_ms_ = 0;
    double filling_lowest_ms_ = 0;
    unsigned filling_count_ = 0;

    // The floor before each of the last packets that advanced the stream
    // came, by number.
    std::array<double, kReorder> floor_before_ms_{};
    std::array<std::int64_t, kReorder> floor_before_at_{};

    // The late run, whose delays wait to enter the histogram.
    std::array<double, kConfirm> run_ms_{};
    unsigned run_ = 0;

    // The histogram: weight_ is the next packet's weight, total_ the sum
    // of the bins, above_ that of the bins above quantile_bin_.
    std::array<double, kBins> bins_{};
    double weight_ = 1;
    double total_ = 0;
    double above_ = 0;
    unsigned quantile_bin_ = 0;

    SlotHistory slots_;
};

}  // namespace kestrune

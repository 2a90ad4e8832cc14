// SPDX-License-Identifier: GPL-2.0-or-later
//
// Runs on the dissection path, under the host's setjmp/longjmp exceptions:
// everything here lives in the capture file's wmem scope and has no
// destructor, and nothing here reads the packet's buffer.
#include "stream_tracking.h"

#include <cmath>
#include <cstring>
#include <new>
#include <type_traits>

#include "analysis/interval_score.h"
#include "analysis/rtp_payload.h"
#include "analysis/stream_analysis.h"
#include "analysis/stream_pipeline.h"
#include "score_preferences.h"
#include "stream_key.h"

namespace kestrune {

bool_preference analyze_streams = TRUE;

namespace {

// A stream's endpoint address: up to 16 bytes (IPv4, IPv6) in place, a
// longer one as a copy in the file's scope.
struct KeptAddress {
    union {
        std::uint8_t bytes[16];
        const address* copy;  // with kLongAddress
    };
    std::uint16_t type;
    std::uint8_t len;
};
constexpr std::uint8_t kLongAddress = 0xFF;

// A packet on which the stream's fixed receiver resynchronised: rare, so
// kept per stream, in capture order, apart from the records of every packet.
struct ResyncRecord {
    std::uint64_t order;  // order_of(frame, layer)
    double corrected_ms;  // the jumps' steps taken out of the delays, from here on
    float moved_ms;
    std::uint32_t count;  // the stream's resynchronisations up to this one
    bool jump;
};

// What only a stream of more than one packet needs, made when its second
// packet comes.
struct StreamHistory {
    nstime_t last_arrival;
    StreamPipeline pipeline;
    wmem_array_t* resyncs = nullptr;  // ResyncRecord, made with the first
};

// A stream, as small as it can be while it has had one packet (scans and
// traffic of other protocols on the port make streams of one packet by the
// thousand): its key and that first packet, which is played into the
// analysis when a second one comes.
struct TrackedStream {
    nstime_t first_arrival{};
    StreamHistory* history = nullptr;  // until the second packet
    std::uint32_t hash = 0;            // the key's, for the table
    std::uint32_t index = 0;
    std::uint32_t src_port = 0;
    std::uint32_t dst_port = 0;
    std::uint32_t first_frame = 0;
    KeptAddress src{};
    KeptAddress dst{};
    std::uint16_t session_id = 0;
    std::uint8_t first_sequence = 0;
    std::uint8_t first_packet_type = 0;
    std::uint8_t first_codec = 0;
    std::uint8_t first_payload_size = 0;
};
// The file scope frees its memory without running destructors.
static_assert(std::is_trivially_destructible_v<TrackedStream>);
static_assert(std::is_trivially_destructible_v<StreamHistory>);
static_assert(std::is_trivially_destructible_v<StreamPipeline>);
static_assert(sizeof(TrackedStream) <= 104);
static_assert(sizeof(FrameAnalysis) == 32);
static_assert(sizeof(IntervalRecord) == 32);

// The results are appended in capture order, so they stay sorted by frame
// and layer; fixed-size chunks keep the cost at 32 bytes a packet, with no
// doubling of a growing array.
constexpr unsigned kChunkRecords = 4096;

struct Chunk {
    FrameAnalysis* records;  // kChunkRecords of them
};

// The closed intervals, appended in capture order like the records.
constexpr unsigned kChunkIntervals = 512;

struct IntervalChunk {
    IntervalRecord* intervals;  // kChunkIntervals of them
};

// A stream by its index, for the few records kept with it.
struct StreamRef {
    TrackedStream* stream;
};

// The streams, in an open-addressing table by their keys' hashes: every
// packet is looked up here, and the host's hash map costs several times as
// much through its callbacks. Kept at most half full; a null slot is free.
constexpr std::uint32_t kFirstSlots = 64;

struct FileState {
    TrackedStream** slots;
    std::uint32_t slot_count;  // a power of two
    std::uint32_t stream_count;
    wmem_array_t* chunks;  // Chunk
    std::uint32_t records;
    FrameAnalysis* current_chunk;   // the last chunk, where records are appended
    std::uint64_t last_order;       // of the last record appended
    wmem_array_t* interval_chunks;  // IntervalChunk, made with the first interval
    std::uint32_t interval_count;
    double interval_s;      // as the preference was when the first pass began
    wmem_array_t* streams;  // StreamRef, by index
};

// Made on the first packet of each capture file, in that file's scope.
FileState* file_state = nullptr;

void forget_file() {
    file_state = nullptr;
}

FileState& state() {
    if (file_state == nullptr) {
        file_state = wmem_new0(wmem_file_scope(), FileState);
        file_state->slots = wmem_alloc0_array(wmem_file_scope(), TrackedStream*, kFirstSlots);
        file_state->slot_count = kFirstSlots;
        file_state->chunks = wmem_array_new(wmem_file_scope(), sizeof(Chunk));
        file_state->streams = wmem_array_new(wmem_file_scope(), sizeof(StreamRef));
        file_state->interval_s = score_preferences.interval_s;
    }
    return *file_state;
}

// An object that lives, without its destructor ever running, as long as the
// capture file.
template <class T>
T* new_in_file_scope() {
    return new (wmem_alloc(wmem_file_scope(), sizeof(T))) T{};
}

std::uint64_t order_of(std::uint32_t frame, std::uint8_t layer) {
    return (static_cast<std::uint64_t>(frame) << 8) | layer;
}

FrameAnalysis& record_at(FileState& s, std::uint32_t i) {
    const auto* chunk = static_cast<const Chunk*>(wmem_array_index(s.chunks, i / kChunkRecords));
    return chunk->records[i % kChunkRecords];
}

// The first of `count` entries, kept in capture order, at or after the
// packet (frame, layer); at(i) points to the i-th entry.
template <class At>
std::uint32_t first_at_or_after(std::uint32_t count, std::uint64_t wanted, At at) {
    std::uint32_t low = 0;
    std::uint32_t high = count;
    while (low < high) {
        const std::uint32_t mid = low + ((high - low) / 2);
        const auto* e = at(mid);
        if (order_of(e->frame, e->layer) < wanted) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    return low;
}

const FrameAnalysis* find_record(FileState& s, std::uint32_t frame, std::uint8_t layer) {
    const std::uint64_t wanted = order_of(frame, layer);
    const auto at = [&s](std::uint32_t k) { return &record_at(s, k); };
    const std::uint32_t i = first_at_or_after(s.records, wanted, at);
    if (i == s.records) {
        return nullptr;
    }
    const FrameAnalysis& r = record_at(s, i);
    return order_of(r.frame, r.layer) == wanted ? &r : nullptr;
}

// A slot for the next record, or null if the host ever hands a first pass
// out of capture order (the record could not be found again).
FrameAnalysis* append_record(FileState& s, std::uint32_t frame, std::uint8_t layer) {
    const std::uint64_t order = order_of(frame, layer);
    if (s.records != 0 && s.last_order >= order) {
        return nullptr;
    }
    if (s.records % kChunkRecords == 0) {
        const Chunk chunk{static_cast<FrameAnalysis*>(
            wmem_alloc(wmem_file_scope(), kChunkRecords * sizeof(FrameAnalysis)))};
        wmem_array_append_one(s.chunks, chunk);
        s.current_chunk = chunk.records;
    }
    s.last_order = order;
    return &s.current_chunk[s.records++ % kChunkRecords];
}

IntervalRecord& interval_at(const FileState& s, std::uint32_t i) {
    const auto* chunk =
        static_cast<const IntervalChunk*>(wmem_array_index(s.interval_chunks, i / kChunkIntervals));
    return chunk->intervals[i % kChunkIntervals];
}

IntervalRecord& append_interval(FileState& s) {
    if (s.interval_chunks == nullptr) {
        s.interval_chunks = wmem_array_new(wmem_file_scope(), sizeof(IntervalChunk));
    }
    if (s.interval_count % kChunkIntervals == 0) {
        const IntervalChunk chunk{static_cast<IntervalRecord*>(
            wmem_alloc(wmem_file_scope(), kChunkIntervals * sizeof(IntervalRecord)))};
        wmem_array_append_one(s.interval_chunks, chunk);
    }
    const std::uint32_t i = s.interval_count++;
    return interval_at(s, i);
}

void keep_address(KeptAddress& kept, const address& a) {
    kept.type = static_cast<std::uint16_t>(a.type);
    if (a.len >= 0 && a.len <= static_cast<int>(sizeof kept.bytes) && a.type <= 0xFFFF) {
        kept.len = static_cast<std::uint8_t>(a.len);
        if (a.len > 0) {
            std::memcpy(kept.bytes, a.data, static_cast<std::size_t>(a.len));
        }
        return;
    }
    kept.len = kLongAddress;
    auto* copy = wmem_new(wmem_file_scope(), address);
    copy_address_wmem(wmem_file_scope(), copy, &a);
    kept.copy = copy;
}

bool is_kept_address(const KeptAddress& kept, const address& a) {
    if (kept.len == kLongAddress) {
        return addresses_equal(kept.copy, &a) != 0;
    }
    if (kept.type != a.type || kept.len != a.len) {
        return false;
    }
    // Fixed sizes for IPv4 and IPv6 compare without a call.
    if (a.len == 4) {
        return std::memcmp(kept.bytes, a.data, 4) == 0;
    }
    if (a.len == 16) {
        return std::memcmp(kept.bytes, a.data, 16) == 0;
    }
    return a.len == 0 || std::memcmp(kept.bytes, a.data, kept.len) == 0;
}

bool is_stream_of(const TrackedStream& stream, std::uint32_t hash, const packet_info* pinfo,
                  std::uint16_t session_id) {
    return stream.hash == hash && stream.session_id == session_id &&
           stream.src_port == pinfo->srcport && stream.dst_port == pinfo->destport &&
           is_kept_address(stream.src, pinfo->src) && is_kept_address(stream.dst, pinfo->dst);
}

// The slot of the stream with this hash that is_same() accepts, or the free
// slot where it would go.
template <class Same>
TrackedStream** slot_of(TrackedStream** slots, std::uint32_t slot_count, std::uint32_t hash,
                        Same is_same) {
    std::uint32_t i = hash & (slot_count - 1);
    while (slots[i] != nullptr && !is_same(*slots[i])) {
        i = (i + 1) & (slot_count - 1);
    }
    return &slots[i];
}

void grow(FileState& s) {
    const std::uint32_t count = s.slot_count * 2;
    auto** slots = wmem_alloc0_array(wmem_file_scope(), TrackedStream*, count);
    for (std::uint32_t i = 0; i < s.slot_count; ++i) {
        if (s.slots[i] != nullptr) {
            *slot_of(slots, count, s.slots[i]->hash, [](const TrackedStream&) { return false; }) =
                s.slots[i];
        }
    }
    wmem_free(wmem_file_scope(), static_cast<void*>(s.slots));
    s.slots = slots;
    s.slot_count = count;
}

// The packet's stream; is_new says whether this packet started it.
TrackedStream& stream_of(FileState& s, packet_info* pinfo, const SimplePacketHeader& h,
                         bool& is_new) {
    StreamKey key{};
    copy_address_shallow(&key.src, &pinfo->src);
    copy_address_shallow(&key.dst, &pinfo->dst);
    key.src_port = pinfo->srcport;
    key.dst_port = pinfo->destport;
    key.session_id = h.session_id;
    const auto hash = static_cast<std::uint32_t>(stream_key_hash(key));
    TrackedStream** slot = slot_of(s.slots, s.slot_count, hash, [&](const TrackedStream& t) {
        return is_stream_of(t, hash, pinfo, h.session_id);
    });
    is_new = *slot == nullptr;
    if (!is_new) {
        return **slot;
    }
    auto* stream = wmem_new0(wmem_file_scope(), TrackedStream);
    stream->hash = hash;
    stream->index = s.stream_count++;
    stream->src_port = pinfo->srcport;
    stream->dst_port = pinfo->destport;
    keep_address(stream->src, pinfo->src);
    keep_address(stream->dst, pinfo->dst);
    stream->session_id = h.session_id;
    stream->first_arrival = pinfo->abs_ts;
    stream->first_frame = pinfo->num;
    stream->first_sequence = static_cast<std::uint8_t>(h.sequence_number);
    stream->first_packet_type = static_cast<std::uint8_t>(h.packet_type);
    stream->first_codec = static_cast<std::uint8_t>(h.codec_type);
    stream->first_payload_size = static_cast<std::uint8_t>(h.payload_size);
    *slot = stream;
    const StreamRef ref{stream};
    wmem_array_append_one(s.streams, ref);
    if (s.stream_count * 2 > s.slot_count) {
        grow(s);
    }
    return *stream;
}

constexpr double kSamplesPerMs = kRtpClockRate / 1000.0;

// The stream's first packet, as it was given to the analysis.
StreamPacket first_packet_of(const TrackedStream& stream) {
    return {stream.first_sequence,
            stream.first_packet_type,
            stream.first_codec,
            stream.first_payload_size,
            0.0,
            stream.first_frame};
}

// Where a packet's closed intervals go: kept with it.
struct ClosingPacket {
    FileState* state;
    const StreamHistory* history;
    std::uint32_t frame;
    std::uint8_t layer;
    double stream_start_s;  // the stream's first arrival, from the start of the capture
    bool closed;
};

void keep_closed_interval(void* context, const IntervalFigures& f) {
    auto& c = *static_cast<ClosingPacket*>(context);
    const StreamPipeline& p = c.history->pipeline;
    IntervalRecord& rec = append_interval(*c.state);
    rec = IntervalRecord{};
    rec.frame = c.frame;
    rec.layer = c.layer;
    rec.lost_percent = static_cast<float>(f.lost_percent());
    rec.start_s = c.stream_start_s + (p.intervals()->start_ms(f.index) / 1000);
    if (f.has_jitter) {
        rec.flags |= IntervalRecord::kHasJitter;
        // To the ns, as the packets' own jitter: the estimate decays towards
        // 0 without reaching it.
        rec.max_jitter_ms = static_cast<float>(std::round(f.max_jitter_ms * 1e6) / 1e6);
    }
    const double delay =
        score_delay_ms(p.analysis(), p.fixed().figures(), score_preferences.network_delay_ms);
    if (const auto score = interval_score(f, delay)) {
        rec.flags |= IntervalRecord::kHasScore;
        rec.mos = static_cast<float>(score->mos);
        rec.r = static_cast<float>(score->r);
    }
    c.closed = true;
}

// The packet's resynchronisation, kept with its stream.
void keep_resync(StreamHistory& h, const FrameAnalysis& r, const PipelineStep& step) {
    if (h.resyncs == nullptr) {
        h.resyncs = wmem_array_new(wmem_file_scope(), sizeof(ResyncRecord));
    }
    const ResyncRecord rec{order_of(r.frame, r.layer), h.pipeline.track().corrected_ms(),
                           static_cast<float>(step.fixed.moved_ms),
                           h.pipeline.fixed().resynchronisations(), step.delay.jump};
    wmem_array_append_one(h.resyncs, rec);
}

// The pipeline sees one packet; the intervals it closed are kept with it.
PipelineStep score_packet(StreamHistory& h, const StreamPacket& p, ClosingPacket& closing) {
    if (h.pipeline.analysis().packets() == 0) {
        h.pipeline.start(score_preferences.jitter_buffer_ms, closing.state->interval_s * 1000);
    }
    closing.history = &h;
    return h.pipeline.observe(p, {&closing, keep_closed_interval});
}

// The analysis of a stream that has had a packet before this one, made on
// its second packet from its first.
StreamHistory* new_history(FileState& s, const TrackedStream& stream) {
    auto* history = new_in_file_scope<StreamHistory>();
    history->last_arrival = stream.first_arrival;
    // Nothing can close, and no receiver move, on the first packet.
    ClosingPacket closing{&s, history, stream.first_frame, 0, 0, false};
    score_packet(*history, first_packet_of(stream), closing);
    return history;
}

std::uint32_t saturated_ns(double ms) {
    const double ns = std::round(ms * 1e6);
    return ns >= 4294967295.0 ? 4294967295u : static_cast<std::uint32_t>(ns);
}

// A stream's first packet tells nothing yet: no delta, jitter or loss. Its
// media clock starts at 0 if it is a voice packet of a codec with a fixed
// rate. (As StreamAnalysis::observe would say, without making one: most
// streams of a scan never see a second packet.)
FrameAnalysis first_packet_analysis(FrameAnalysis r, const SimplePacketHeader& h) {
    const bool timed = media_length_ms(h.packet_type, h.codec_type, h.payload_size) > 0;
    r.previous_codec = h.codec_type;
    r.flags = static_cast<std::uint8_t>(SequenceTracker::Verdict::First);
    if (timed) {
        r.flags |= FrameAnalysis::kHasMediaTime;
    }
    r.extended_sequence = h.sequence_number & 0xFFu;
    return r;
}

FrameAnalysis analyse(FileState& s, packet_info* pinfo, const SimplePacketHeader& h) {
    bool first = false;
    TrackedStream& stream = stream_of(s, pinfo, h, first);
    FrameAnalysis r{};
    r.frame = pinfo->num;
    r.stream = stream.index;
    r.layer = pinfo->curr_layer_num;
    if (first) {
        return first_packet_analysis(r, h);
    }
    if (stream.history == nullptr) {
        stream.history = new_history(s, stream);
    }
    StreamHistory* history = stream.history;
    const StreamAnalysis& analysis = history->pipeline.analysis();
    const int previous_codec = analysis.last_codec();

    // Arrival times from the stream's first packet, as the stream table
    // takes them: small numbers keep the doubles exact to the nanosecond.
    nstime_t since_first;
    nstime_delta(&since_first, &pinfo->abs_ts, &stream.first_arrival);
    const StreamPacket packet{static_cast<std::uint8_t>(h.sequence_number),
                              h.packet_type,
                              h.codec_type,
                              h.payload_size,
                              nstime_to_msec(&since_first),
                              pinfo->num};
    ClosingPacket closing{
        &s,   history, r.frame, r.layer, nstime_to_sec(&pinfo->rel_ts) - (packet.arrival_ms / 1000),
        false};
    const PipelineStep step = score_packet(*history, packet, closing);
    const PacketAnalysis& a = step.packet;
    if (step.fixed.resynchronised) {
        keep_resync(*history, r, step);
    }

    nstime_t delta;
    nstime_delta(&delta, &pinfo->abs_ts, &history->last_arrival);
    r.delta_ns = (static_cast<std::int64_t>(delta.secs) * 1000000000) + delta.nsecs;
    history->last_arrival = pinfo->abs_ts;
    r.previous_codec = previous_codec;
    r.jitter_ns = a.has_jitter ? saturated_ns(a.jitter_ms) : 0;
    r.expected_sequence = a.expected_sequence;
    // At most 126: a jump of half the sequence space or more is a late packet.
    r.lost_before = static_cast<std::uint8_t>(a.lost_before);
    // After the packet, the clock runs if and only if it gave this packet
    // its media time.
    const bool timed = analysis.has_media_clock();
    r.flags = static_cast<std::uint8_t>(
        static_cast<unsigned>(a.verdict) | (a.has_jitter ? FrameAnalysis::kHasJitter : 0) |
        (a.codec_changed ? FrameAnalysis::kCodecChanged : 0) |
        (a.filled_gap ? FrameAnalysis::kFilledGap : 0) |
        (timed ? FrameAnalysis::kHasMediaTime : 0) |
        (closing.closed || step.fixed.resynchronised ? FrameAnalysis::kHasEvents : 0));
    r.extended_sequence = static_cast<std::uint32_t>(analysis.sequence().extended());
    if (timed) {
        // The media time is at most a few hundred ms a packet times 2^32
        // packets: far inside a long long. Rounded once from the start, so
        // a packet length that is not a whole number of samples does not
        // drift.
        const long long samples = std::llround(analysis.media_time_ms() * kSamplesPerMs);
        r.media_samples = static_cast<std::uint32_t>(samples);
    }
    return r;
}

}  // namespace

const FrameAnalysis* track_stream_packet(packet_info* pinfo, const SimplePacketHeader& h) {
    FileState& s = state();
    if (PINFO_FD_VISITED(pinfo)) {
        return find_record(s, pinfo->num, pinfo->curr_layer_num);
    }
    const FrameAnalysis r = analyse(s, pinfo, h);
    FrameAnalysis* slot = append_record(s, r.frame, r.layer);
    if (slot == nullptr) {
        slot = wmem_new(pinfo->pool, FrameAnalysis);
    }
    *slot = r;
    return slot;
}

double closed_interval_length_s() {
    return file_state != nullptr ? file_state->interval_s : 0;
}

const IntervalRecord* closed_interval(const FrameAnalysis& r, unsigned n) {
    if (!r.has(FrameAnalysis::kHasEvents) || file_state == nullptr) {
        return nullptr;
    }
    const FileState& s = *file_state;
    const std::uint64_t wanted = order_of(r.frame, r.layer);
    const auto at = [&s](std::uint32_t k) { return &interval_at(s, k); };
    const std::uint32_t i = first_at_or_after(s.interval_count, wanted, at) + n;
    if (i >= s.interval_count) {
        return nullptr;
    }
    const IntervalRecord& rec = interval_at(s, i);
    return order_of(rec.frame, rec.layer) == wanted ? &rec : nullptr;
}

namespace {

// The stream's last resynchronisation at or before the packet, or null.
const ResyncRecord* last_resync(const StreamHistory& h, std::uint64_t order) {
    if (h.resyncs == nullptr) {
        return nullptr;
    }
    const auto count = static_cast<std::uint32_t>(wmem_array_get_count(h.resyncs));
    const auto at = [&h](std::uint32_t k) {
        return static_cast<const ResyncRecord*>(wmem_array_index(h.resyncs, k));
    };
    std::uint32_t low = 0;
    std::uint32_t high = count;
    while (low < high) {
        const std::uint32_t mid = low + ((high - low) / 2);
        if (at(mid)->order <= order) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    return low == 0 ? nullptr : at(low - 1);
}

}  // namespace

PacketPlayout packet_playout(const FrameAnalysis& r, const nstime_t& arrival) {
    PacketPlayout out{};
    if (file_state == nullptr || r.stream >= wmem_array_get_count(file_state->streams)) {
        return out;
    }
    const TrackedStream& stream =
        *static_cast<const StreamRef*>(wmem_array_index(file_state->streams, r.stream))->stream;
    const StreamHistory* h = stream.history;
    const std::uint64_t order = order_of(r.frame, r.layer);
    const ResyncRecord* resync = h != nullptr ? last_resync(*h, order) : nullptr;
    if (resync != nullptr) {
        out.resynchronisations = resync->count;
        if (resync->order == order) {
            out.resynchronised = true;
            out.jump = resync->jump;
            out.moved_ms = resync->moved_ms;
        }
    }
    if (r.has(FrameAnalysis::kHasMediaTime)) {
        // The same arithmetic on every pass: the arrival from the stream's
        // first, the media time as the record keeps it (in 8 kHz samples,
        // signed: a reordered packet may come before the clock's start).
        nstime_t since_first;
        nstime_delta(&since_first, &arrival, &stream.first_arrival);
        const double media_ms =
            static_cast<double>(static_cast<std::int32_t>(r.media_samples)) / kSamplesPerMs;
        const double base_ms = h != nullptr ? h->pipeline.track().base_ms() : 0;
        const double corrected_ms = resync != nullptr ? resync->corrected_ms : 0;
        const double delay = nstime_to_msec(&since_first) - media_ms - base_ms - corrected_ms;
        out.has_delay = true;
        out.delay_ms = std::round(delay * 1e6) / 1e6;  // to the ns, as the arrival
    }
    return out;
}

void register_stream_tracking() {
    register_init_routine(forget_file);
}

}  // namespace kestrune

// SPDX-License-Identifier: GPL-2.0-or-later
//
// Runs on the dissection path, under the host's setjmp/longjmp exceptions:
// everything here lives in the capture file's wmem scope and has no
// destructor, and nothing here reads the packet's buffer.
#include "stream_tracking.h"

#include <cmath>
#include <new>
#include <type_traits>

#include "analysis/rtp_payload.h"
#include "analysis/stream_analysis.h"
#include "stream_key.h"

namespace kestrune {

bool_preference analyze_streams = TRUE;

namespace {

struct TrackedStream {
    StreamKey key{};  // its addresses in the file's scope
    std::uint32_t index = 0;
    nstime_t first_arrival{};
    nstime_t last_arrival{};
    StreamAnalysis analysis;
};
// The file scope frees its memory without running destructors.
static_assert(std::is_trivially_destructible_v<TrackedStream>);
static_assert(std::is_trivially_destructible_v<StreamKey>);
static_assert(sizeof(FrameAnalysis) == 32);

// The results are appended in capture order, so they stay sorted by frame
// and layer; fixed-size chunks keep the cost at 32 bytes a packet, with no
// doubling of a growing array.
constexpr unsigned kChunkRecords = 4096;

struct Chunk {
    FrameAnalysis* records;  // kChunkRecords of them
};

// The streams, in an open-addressing table of their keys' hashes: every
// packet is looked up here, and the host's hash map costs several times as
// much through its callbacks. Kept at most half full.
struct StreamSlot {
    std::uint64_t hash;
    TrackedStream* stream;  // null: free
};
constexpr std::uint32_t kFirstSlots = 64;

struct FileState {
    StreamSlot* slots;
    std::uint32_t slot_count;  // a power of two
    std::uint32_t stream_count;
    wmem_array_t* chunks;  // Chunk
    std::uint32_t records;
    FrameAnalysis* current_chunk;  // the last chunk, where records are appended
    std::uint64_t last_order;      // of the last record appended
};

// Made on the first packet of each capture file, in that file's scope.
FileState* file_state = nullptr;

void forget_file() {
    file_state = nullptr;
}

FileState& state() {
    if (file_state == nullptr) {
        file_state = wmem_new0(wmem_file_scope(), FileState);
        file_state->slots = wmem_alloc0_array(wmem_file_scope(), StreamSlot, kFirstSlots);
        file_state->slot_count = kFirstSlots;
        file_state->chunks = wmem_array_new(wmem_file_scope(), sizeof(Chunk));
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

const FrameAnalysis* find_record(FileState& s, std::uint32_t frame, std::uint8_t layer) {
    const std::uint64_t wanted = order_of(frame, layer);
    std::uint32_t low = 0;
    std::uint32_t high = s.records;
    while (low < high) {
        const std::uint32_t mid = low + ((high - low) / 2);
        const FrameAnalysis& r = record_at(s, mid);
        if (order_of(r.frame, r.layer) < wanted) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    if (low == s.records) {
        return nullptr;
    }
    const FrameAnalysis& r = record_at(s, low);
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

StreamSlot* slot_of(StreamSlot* slots, std::uint32_t slot_count, std::uint64_t hash,
                    const StreamKey& key) {
    std::uint32_t i = static_cast<std::uint32_t>(hash) & (slot_count - 1);
    while (slots[i].stream != nullptr &&
           (slots[i].hash != hash || !stream_keys_equal(slots[i].stream->key, key))) {
        i = (i + 1) & (slot_count - 1);
    }
    return &slots[i];
}

void grow(FileState& s) {
    const std::uint32_t count = s.slot_count * 2;
    StreamSlot* slots = wmem_alloc0_array(wmem_file_scope(), StreamSlot, count);
    for (std::uint32_t i = 0; i < s.slot_count; ++i) {
        if (s.slots[i].stream != nullptr) {
            *slot_of(slots, count, s.slots[i].hash, s.slots[i].stream->key) = s.slots[i];
        }
    }
    wmem_free(wmem_file_scope(), s.slots);
    s.slots = slots;
    s.slot_count = count;
}

TrackedStream& stream_of(FileState& s, packet_info* pinfo, std::uint16_t session_id) {
    StreamKey key{};
    copy_address_shallow(&key.src, &pinfo->src);
    copy_address_shallow(&key.dst, &pinfo->dst);
    key.src_port = pinfo->srcport;
    key.dst_port = pinfo->destport;
    key.session_id = session_id;
    const std::uint64_t hash = stream_key_hash(key);
    StreamSlot* slot = slot_of(s.slots, s.slot_count, hash, key);
    if (slot->stream != nullptr) {
        return *slot->stream;
    }
    auto* stream = new_in_file_scope<TrackedStream>();
    stream->key = key;
    copy_address_wmem(wmem_file_scope(), &stream->key.src, &key.src);
    copy_address_wmem(wmem_file_scope(), &stream->key.dst, &key.dst);
    stream->index = s.stream_count++;
    stream->first_arrival = pinfo->abs_ts;
    *slot = {hash, stream};
    if (s.stream_count * 2 > s.slot_count) {
        grow(s);
    }
    return *stream;
}

constexpr double kSamplesPerMs = kRtpClockRate / 1000.0;

std::uint32_t saturated_ns(double ms) {
    const double ns = std::round(ms * 1e6);
    return ns >= 4294967295.0 ? 4294967295u : static_cast<std::uint32_t>(ns);
}

FrameAnalysis analyse(FileState& s, packet_info* pinfo, const SimplePacketHeader& h) {
    TrackedStream& stream = stream_of(s, pinfo, h.session_id);
    const bool first = stream.analysis.packets() == 0;
    const int previous_codec = first ? h.codec_type : stream.analysis.last_codec();

    // Arrival times from the stream's first packet, as the stream table
    // takes them: small numbers keep the doubles exact to the nanosecond.
    nstime_t since_first;
    nstime_delta(&since_first, &pinfo->abs_ts, &stream.first_arrival);
    const PacketAnalysis a = stream.analysis.observe({static_cast<std::uint8_t>(h.sequence_number),
                                                      h.packet_type, h.codec_type, h.payload_size,
                                                      nstime_to_msec(&since_first), pinfo->num});

    FrameAnalysis r{};
    r.frame = pinfo->num;
    r.stream = stream.index;
    r.layer = pinfo->curr_layer_num;
    if (!first) {
        nstime_t delta;
        nstime_delta(&delta, &pinfo->abs_ts, &stream.last_arrival);
        r.delta_ns = (static_cast<std::int64_t>(delta.secs) * 1000000000) + delta.nsecs;
    }
    stream.last_arrival = pinfo->abs_ts;
    r.previous_codec = previous_codec;
    r.jitter_ns = a.has_jitter ? saturated_ns(a.jitter_ms) : 0;
    r.expected_sequence = a.expected_sequence;
    // At most 126: a jump of half the sequence space or more is a late packet.
    r.lost_before = static_cast<std::uint8_t>(a.lost_before);
    // After the packet, the clock runs if and only if it gave this packet
    // its media time.
    const bool timed = stream.analysis.has_media_clock();
    r.flags = static_cast<std::uint8_t>(static_cast<unsigned>(a.verdict) |
                                        (a.has_jitter ? FrameAnalysis::kHasJitter : 0) |
                                        (a.codec_changed ? FrameAnalysis::kCodecChanged : 0) |
                                        (a.filled_gap ? FrameAnalysis::kFilledGap : 0) |
                                        (timed ? FrameAnalysis::kHasMediaTime : 0));
    r.extended_sequence = static_cast<std::uint32_t>(stream.analysis.sequence().extended());
    if (timed) {
        // The media time is at most a few hundred ms a packet times 2^32
        // packets: far inside a long long. Rounded once from the start, so
        // a packet length that is not a whole number of samples does not
        // drift.
        const long long samples = std::llround(stream.analysis.media_time_ms() * kSamplesPerMs);
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

void register_stream_tracking() {
    register_init_routine(forget_file);
}

}  // namespace kestrune

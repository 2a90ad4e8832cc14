// SPDX-License-Identifier: GPL-2.0-or-later
//
// Runs on the dissection path, under the host's setjmp/longjmp exceptions:
// nothing here owns a destructor, and the packet's buffer is read only
// within its captured bytes.
#include "rtp_report.h"

#include <epan/tap.h>

#include "analysis/stream_analysis.h"
#include "value_names.h"

namespace kestrune {

bool_preference rtp_tools = TRUE;
int g726_packing_preference = static_cast<int>(G726Packing::rfc3551);

namespace {

constexpr unsigned kRtpHeaderSize = 12;
constexpr std::uint8_t kRtpVersion2 = 0x80;
constexpr std::uint8_t kRtpMarker = 0x80;
// Where the host's RTP dissector starts a stream's extended numbers, so
// that a late packet from before the first one does not go below zero.
constexpr std::uint32_t kExtendedSequenceBase = 0x10000;
constexpr std::uint64_t kExtendedTimestampBase = 0x100000000;

// The host registers "rtp" before any plugin; looked up once.
int rtp_tap_id() {
    static const int id = find_tap_id("rtp");
    return id;
}

// The host's own writers are named phton16/phton32 up to 4.4 and
// phtonu16/phtonu32 from 4.6: two lines of our own serve every release.
void put_be16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

void put_be32(std::uint8_t* p, std::uint32_t v) {
    put_be16(p, static_cast<std::uint16_t>(v >> 16));
    put_be16(p + 2, static_cast<std::uint16_t>(v));
}

// The payload type and name the RTP tools show for the packet. The host
// takes a dynamic type whose name starts with "telephone-event" for
// clockless whatever rate it carries, and looks a name up in its own clock
// table (by prefix) where a report has no rate; the protocol's names start
// with none of those, so the 8 kHz of every report is what counts. The
// host keeps the name pointer for the life of the capture: static text.
RtpPayload reported_payload(const SimplePacketHeader& h) {
    if (h.packet_type == kVoicePacket) {
        const RtpPayload voice = rtp_payload(h.codec_type, g726_packing());
        if (voice.number >= 0) {
            return voice;
        }
        return {rtp_payload_number_without_audio(h.packet_type, h.codec_type),
                val_to_str_const(h.codec_type, codec_type_names, "")};
    }
    // Packet type 7 has no name in the protocol's table.
    return {rtp_payload_number_without_audio(h.packet_type, h.codec_type),
            val_to_str_const(h.packet_type, packet_type_names, "UnnamedType7")};
}

}  // namespace

G726Packing g726_packing() {
    return g726_packing_preference == static_cast<int>(G726Packing::aal2) ? G726Packing::aal2
                                                                          : G726Packing::rfc3551;
}

bool rtp_tools_listening() {
    return rtp_tools && rtp_tap_id() >= 0 && have_tap_listener(rtp_tap_id());
}

void report_rtp_packet(tvbuff_t* tvb, packet_info* pinfo, const SimplePacketHeader& h,
                       const FrameAnalysis& analysis) {
    // Before the stream's clock runs a packet has no timestamp: the host
    // counts a stream from the first packet it is told of, so leaving these
    // out costs no false loss. (Datagrams quoted in ICMP errors have no
    // analysis, so they never get here.)
    if (!analysis.has(FrameAnalysis::kHasMediaTime)) {
        return;
    }
    const RtpPayload payload = reported_payload(h);
    // The dissection read the header, so the buffer holds at least that.
    const guint captured = tvb_captured_length(tvb) - kSimplePacketHeaderSize;
    const guint present = captured < h.payload_size ? captured : h.payload_size;

    // A genuine RTP packet (RFC 3550, 5.1): whatever the host does with the
    // raw RTP (its player's decoders, Export as RTPDump) sees real RTP.
    const auto sequence = static_cast<std::uint16_t>(analysis.extended_sequence);
    const bool marker = analysis.verdict() == SequenceTracker::Verdict::First;
    auto* raw = static_cast<std::uint8_t*>(wmem_alloc(pinfo->pool, kRtpHeaderSize + present));
    raw[0] = kRtpVersion2;
    raw[1] = static_cast<std::uint8_t>((marker ? kRtpMarker : 0) | payload.number);
    put_be16(raw + 2, sequence);
    put_be32(raw + 4, analysis.media_samples);
    put_be32(raw + 8, h.session_id);
    tvb_memcpy(tvb, raw + kRtpHeaderSize, kSimplePacketHeaderSize, present);

    auto* info = wmem_new0(pinfo->pool, _rtp_info);
    info->info_version = 2;
    info->info_marker_set = marker;
    info->info_media_types = RTP_MEDIA_AUDIO;
    info->info_payload_type = static_cast<unsigned>(payload.number);
    info->info_seq_num = sequence;
    info->info_timestamp = analysis.media_samples;
    // Media times before the stream's first one count below the base.
    set_rtp_extended_numbers(
        info, kExtendedSequenceBase + analysis.extended_sequence,
        kExtendedTimestampBase + static_cast<std::int32_t>(analysis.media_samples));
    info->info_sync_src = h.session_id;
    info->info_data = raw;
    info->info_data_len = kRtpHeaderSize + present;
    info->info_all_data_present = present == h.payload_size;
    info->info_payload_offset = kRtpHeaderSize;
    info->info_payload_len = present;
    info->info_payload_type_str = payload.name;
    info->info_payload_rate = kRtpClockRate;
    set_rtp_channels(info, 1);
    tap_queue_packet(rtp_tap_id(), pinfo, info);
}

}  // namespace kestrune

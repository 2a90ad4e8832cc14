// SPDX-License-Identifier: GPL-2.0-or-later
//
// Calls are paired as the calls table pairs them: the stream (A:a → B:b,
// session S) and its reverse, A being the side whose packet came first.
// While the capture is read each direction is decoded into a mono file of
// its own (a temporary file beside the result, in the file pool, so that
// many calls at once stay within the open-file limit); when it ends the two
// are read back into the stereo file, which then gets its name. A direction
// starts at its first voice packet, placed at that packet's arrival from the
// call's first voice packet.
#include "call_audio_export.h"

#include <cmath>
#include <cstdio>
#include <deque>
#include <memory>

#include "analysis/stream_analysis.h"  // kVoicePacket
#include "codec/host_codec.h"
#include "dissector/host_compat.h"
#include "dissector/rtp_report.h"  // g726_packing
#include "dissector/value_names.h"
#include "stats/call_pairing.h"
#include "stats/stream_key.h"
#include "stereo_merge.h"
#include "stream_decoder.h"
#include "wav_file.h"

namespace kestrune::audio {
namespace {

constexpr const char* kCliPrefix = "simplekestrune,callaudio";
constexpr const char* kSide[2] = {"left, A \u2192 B", "right, B \u2192 A"};
// The later direction's lead-in is silence as long as the time between the
// directions' first voice packets. Arrival times are whatever the capture
// says: two packets a day apart in a capture of a few bytes would fill a
// disk with silence. A call whose directions start further apart than this
// is not written (each side's own file, from the export of streams, is).
constexpr double kMaxLeadSeconds = 3600.0;

struct Channel {
    bool voice = false;       // a voice packet has come
    unsigned codec_type = 0;  // the first voice packet's
    nstime_t first_voice = NSTIME_INIT_ZERO;
    std::string silent_because;  // when there is no file
    // The decoder writes into the file: declared after it, so gone first.
    std::unique_ptr<WavFile> file;
    std::unique_ptr<StreamDecoder> decoder;
};

struct Call {
    std::string label;
    std::string file_name;
    bool failed = false;
    std::string outcome;  // why no file, when there is none
    Channel way[2];       // A → B, B → A

    bool any_voice() const { return way[0].voice || way[1].voice; }
    void stop(const std::string& why) {
        failed = true;
        outcome = "not written, " + why;
        for (Channel& c : way) {
            c.decoder.reset();
            c.file.reset();
        }
    }
};

// "192.0.2.1_4096-192.0.2.2_30000-s42-call.wav": the mono files' name of
// the A → B stream, marked as the call's.
std::string call_file_name(const StreamKey& a_to_b) {
    return stream_file_stem(a_to_b) + "-call.wav";
}

std::string call_label(const StreamKey& a_to_b) {
    return endpoint_text(a_to_b.src, a_to_b.src_port) + " \u2194 " +
           endpoint_text(a_to_b.dst, a_to_b.dst_port) + " session " +
           std::to_string(a_to_b.session_id);
}

class CallAudioExport : public TapExport {
public:
    CallAudioExport(const std::string& folder, bool finish_on_draw)
        : TapExport(folder, finish_on_draw),
          packing_(g726_packing()),
          files_(FilePool::size_for_descriptor_limit()) {}

    void packet(const packet_info& pinfo, const TappedPacket& p) override;
    void reset() override {
        streams_.clear();
        calls_.clear();
    }
    const char* not_written_what() const override { return "call(s)"; }
    const char* cli_prefix() const override { return kCliPrefix; }

private:
    std::string write_out() override;
    Call& new_call(const StreamKey& key);
    void start_channel(Call& call, unsigned direction, const packet_info& pinfo, unsigned codec);
    std::string write_call(Call& call);

    G726Packing packing_;
    // Before the calls: their files give their descriptors back to it.
    FilePool files_;
    CallPairing<Call> streams_;
    std::deque<Call> calls_;  // as their first packets came
};

Call& CallAudioExport::new_call(const StreamKey& key) {
    Call& c = calls_.emplace_back();
    c.label = call_label(key);
    c.file_name = call_file_name(key);
    return c;
}

void CallAudioExport::start_channel(Call& call, unsigned direction, const packet_info& pinfo,
                                    unsigned codec) {
    if (!call.any_voice()) {
        const std::string path = folder() + "/" + call.file_name;
        if (path_exists(path)) {
            call.stop(path + " already exists");
        }
    }
    Channel& ch = call.way[direction];
    ch.voice = true;
    ch.codec_type = codec;
    ch.first_voice = pinfo.abs_ts;
    const Channel& other = call.way[1 - direction];
    if (other.voice && !call.failed) {
        nstime_t apart;
        nstime_delta(&apart, &ch.first_voice, &other.first_voice);
        const double apart_s = std::fabs(nstime_to_sec(&apart));
        if (apart_s > kMaxLeadSeconds) {
            char reason[128];
            (void)std::snprintf(reason, sizeof reason,
                                "its directions start %.3f s apart (at most %.0f s in one file)",
                                apart_s, kMaxLeadSeconds);
            call.stop(reason);
        }
    }
    std::string why;
    if (call.failed) {
        return;
    }
    if (codec::find_host_decoder(codec, packing_, why) == nullptr) {
        ch.silent_because = why;
        return;
    }
    const char* side = direction == 0 ? ".left" : ".right";
    ch.file = std::make_unique<WavFile>(files_, folder(), call.file_name + side,
                                        StreamDecoder::kSampleRate);
    ch.decoder = std::make_unique<StreamDecoder>(packing_, *ch.file);
}

void CallAudioExport::packet(const packet_info& pinfo, const TappedPacket& p) {
    const auto& s = streams_.side(stream_key_of(p),
                                  [this](const StreamKey& key) -> Call& { return new_call(key); });
    Call& call = *s.call;
    Channel& ch = call.way[s.direction];
    const bool voice = p.header.packet_type == kVoicePacket;
    if (voice && !ch.voice) {
        start_channel(call, s.direction, pinfo, p.header.codec_type);
    }
    // As in the export of one stream: DTMF, fax and modem packets hold
    // their places once the direction's voice has started.
    if (!ch.decoder) {
        return;
    }
    const auto sequence = static_cast<std::uint8_t>(p.header.sequence_number);
    if (!voice) {
        ch.decoder->not_voice(sequence);
    } else {
        ch.decoder->voice(sequence, p.header.codec_type, p.payload, p.payload_captured,
                          p.header.payload_size);
    }
    if (!ch.file->error().empty()) {
        call.stop(ch.file->error());
    }
}

// Finishes the call's file; returns its channels' lines, or nothing when
// it fails (then call.outcome says why).
std::string CallAudioExport::write_call(Call& call) {
    // The call starts with its first voice packet, whichever way it went.
    const nstime_t* start = nullptr;
    for (const Channel& ch : call.way) {
        if (ch.voice && (start == nullptr || nstime_cmp(&ch.first_voice, start) < 0)) {
            start = &ch.first_voice;
        }
    }
    ChannelSource source[2];
    bool any_file = false;
    std::string lines;
    char text[64];
    for (unsigned i = 0; i < 2; ++i) {
        Channel& ch = call.way[i];
        lines += std::string("  ") + kSide[i];
        if (!ch.voice) {
            lines += ": silent, no voice packets\n";
            continue;
        }
        lines += std::string(" (") + val_to_str_const(ch.codec_type, codec_type_names, "?") + "): ";
        if (!ch.decoder) {
            lines += "silent, " + ch.silent_because + "\n";
            continue;
        }
        ch.decoder->finish();
        if (!ch.file->close_written()) {
            call.stop(ch.file->error());
            return {};
        }
        nstime_t offset;
        nstime_delta(&offset, &ch.first_voice, start);
        const double offset_s = nstime_to_sec(&offset);
        source[i] = {
            ch.file->temporary_path(),
            static_cast<std::uint64_t>(std::llround(offset_s * StreamDecoder::kSampleRate))};
        (void)std::snprintf(
            text, sizeof text, "from %.3f s, %.3f s, ",
            static_cast<double>(source[i].offset) / StreamDecoder::kSampleRate,
            static_cast<double>(ch.decoder->counts().samples) / StreamDecoder::kSampleRate);
        lines += text + decoder_counts_text(*ch.decoder) + "\n";
        any_file = true;
    }
    if (!any_file) {
        call.outcome = "skipped, neither direction can be decoded";
        return lines;
    }
    WavFile stereo(files_, folder(), call.file_name, StreamDecoder::kSampleRate, 2);
    std::string error;
    const std::int64_t frames = merge_stereo(source[0], source[1], stereo, error);
    if (frames < 0 || !stereo.commit()) {
        call.stop(error.empty() ? stereo.error() : error);
        return {};
    }
    (void)std::snprintf(text, sizeof text, ", %.3f s",
                        static_cast<double>(frames) / StreamDecoder::kSampleRate);
    call.outcome = call.file_name + text;
    return lines;
}

std::string CallAudioExport::write_out() {
    std::string out = "SimpleKestrune call audio export to " + folder() + "\n";
    unsigned listed = 0;
    for (Call& call : calls_) {
        if (!call.any_voice()) {
            continue;
        }
        ++listed;
        const std::string lines = call.failed ? std::string() : write_call(call);
        // The temporary mono files go with their channels.
        for (Channel& ch : call.way) {
            ch.decoder.reset();
            ch.file.reset();
        }
        not_written_ += call.failed ? 1 : 0;
        out += call.label + ": " + call.outcome + "\n" + lines;
    }
    if (not_written_ > 0) {
        out += "NOT COMPLETE: " + std::to_string(not_written_) + " of " + std::to_string(listed) +
               " calls not written\n";
    }
    if (listed == 0) {
        out += "No voice packets.\n";
    } else {
        out +=
            "Left A \u2192 B, right B \u2192 A, from the call's first voice packet; a direction "
            "without voice is silent.\n"
            "Lost, undecodable and not voice packets: silence as long as the usual packet.\n"
            "Duplicates and packets too late for their place: left out.\n";
    }
    return out;
}

}  // namespace

TapExport* new_call_export(const std::string& folder, bool finish_on_draw) {
    return new CallAudioExport(folder, finish_on_draw);
}

void register_call_audio_export() {
    register_cli_export(kCliPrefix, new_call_export);
}

}  // namespace kestrune::audio

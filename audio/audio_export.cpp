// SPDX-License-Identifier: GPL-2.0-or-later
//
// The export runs from the "simplekestrune" tap, after dissection, so
// ordinary C++ objects are safe here. Streams are those of the stream
// statistics; each has its own decoder, timeline and file, all of a fixed
// size.
#include "audio_export.h"

#include <epan/packet.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "analysis/stream_analysis.h"  // kVoicePacket
#include "call_audio_export.h"
#include "codec/codec_table.h"
#include "codec/host_codec.h"
#include "dissector/host_compat.h"
#include "dissector/rtp_report.h"  // g726_packing
#include "dissector/tapped_packet.h"
#include "dissector/value_names.h"
#include "stats/stream_key.h"
#include "stream_decoder.h"
#include "wav_file.h"

namespace kestrune::audio {
namespace {

constexpr const char* kCliPrefix = "simplekestrune,audio";
// "192.0.2.1_4096-192.0.2.2_30000-s42.wav"
std::string file_name(const StreamKey& k) {
    return stream_file_stem(k) + ".wav";
}

struct Stream {
    std::string label;
    std::string file_name;
    unsigned codec_type = 0;  // the first voice packet's
    std::string outcome;      // why no file, when there is none
    bool failed = false;      // should have had a file and has none
    // The decoder writes into the file: declared after it, so gone first.
    std::unique_ptr<WavFile> file;
    std::unique_ptr<StreamDecoder> decoder;

    void fail(const std::string& why) {
        failed = true;
        outcome = "not written, " + why;
    }
    void stop(const std::string& why) {
        fail(why);
        decoder.reset();
        file.reset();
    }
};

class AudioExport : public TapExport {
public:
    AudioExport(const std::string& folder, bool finish_on_draw)
        : TapExport(folder, finish_on_draw),
          packing_(g726_packing()),
          files_(FilePool::size_for_descriptor_limit()) {}

    void packet(const packet_info& pinfo, const TappedPacket& p) override;
    void reset() override {
        order_.clear();
        streams_.clear();
    }
    const char* not_written_what() const override { return "voice stream(s)"; }
    const char* cli_prefix() const override { return kCliPrefix; }

private:
    std::string write_out() override;
    void open(Stream& s);

    G726Packing packing_;
    // Before the streams: their files give their descriptors back to it.
    FilePool files_;
    StreamMap<Stream> streams_;
    std::vector<Stream*> order_;  // as their first voice packets came
};

void AudioExport::open(Stream& s) {
    std::string why;
    if (codec::find_host_decoder(s.codec_type, packing_, why) == nullptr) {
        s.outcome = "skipped, " + why;
        return;
    }
    const std::string path = folder() + "/" + s.file_name;
    if (path_exists(path)) {
        s.fail(path + " already exists");
        return;
    }
    s.file = std::make_unique<WavFile>(files_, folder(), s.file_name, StreamDecoder::kSampleRate);
    s.decoder = std::make_unique<StreamDecoder>(packing_, *s.file);
}

void AudioExport::packet(const packet_info& /*pinfo*/, const TappedPacket& p) {
    const StreamKey key = stream_key_of(p);
    Stream* s = streams_.find(key);
    const bool voice = p.header.packet_type == kVoicePacket;
    if (s == nullptr && voice) {
        s = &streams_.add(key);
        s->label = stream_text(key);
        s->file_name = file_name(key);
        s->codec_type = p.header.codec_type;
        open(*s);
        order_.push_back(s);
    }
    // DTMF, fax and modem packets share the session's sequence numbers:
    // once its voice has started they hold their places, as silence.
    if (s == nullptr || !s->decoder) {
        return;
    }
    const auto sequence = static_cast<std::uint8_t>(p.header.sequence_number);
    if (!voice) {
        s->decoder->not_voice(sequence);
    } else {
        // A payload cut short keeps its place as silence.
        s->decoder->voice(sequence, p.header.codec_type, p.payload, p.payload_captured,
                          p.header.payload_size);
    }
    if (!s->file->error().empty()) {
        s->stop(s->file->error());
    }
}

std::string AudioExport::write_out() {
    std::string out = "SimpleKestrune audio export to " + folder() + "\n";
    char line[40];
    for (Stream* sp : order_) {
        Stream& s = *sp;
        if (s.decoder) {
            s.decoder->finish();
            if (!s.file->commit()) {
                const std::string why = s.file->error();
                s.stop(why);
            }
        }
        out += s.label + " (" + val_to_str_const(s.codec_type, codec_type_names, "?") + "): ";
        if (!s.decoder) {
            out += s.outcome + "\n";
            not_written_ += s.failed ? 1 : 0;
            continue;
        }
        (void)std::snprintf(
            line, sizeof line, ", %.3f s, ",
            static_cast<double>(s.decoder->counts().samples) / StreamDecoder::kSampleRate);
        out += s.file_name + line + decoder_counts_text(*s.decoder) + "\n";
        // The file is complete: its stream's decoder state goes now.
        s.decoder.reset();
        s.file.reset();
    }
    if (not_written_ > 0) {
        // One line a script can look for: the host gives a tap no say in
        // tshark's exit status.
        out += "NOT COMPLETE: " + std::to_string(not_written_) + " of " +
               std::to_string(order_.size()) + " voice streams not written\n";
    }
    if (order_.empty()) {
        out += "No voice packets.\n";
    } else {
        out +=
            "Lost, undecodable and not voice packets: silence as long as the usual packet.\n"
            "Duplicates and packets too late for their place: left out.\n";
    }
    return out;
}

}  // namespace

TapExport* new_stream_export(const std::string& folder, bool finish_on_draw) {
    return new AudioExport(folder, finish_on_draw);
}

void register_audio_export() {
    register_cli_export(kCliPrefix, new_stream_export);
    register_call_audio_export();
    register_audio_menu();
}

}  // namespace kestrune::audio

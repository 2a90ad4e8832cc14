// SPDX-License-Identifier: GPL-2.0-or-later
//
// The export runs from the "simplekestrune" tap, after dissection, so
// ordinary C++ objects are safe here. Streams are those of the stream
// statistics; each has its own decoder, timeline and file, all of a fixed
// size.
#include "audio_export.h"

#include <epan/packet.h>
#include <epan/stat_tap_ui.h>
#include <epan/tap.h>
#include <epan/to_str.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "audio_preferences.h"
#include "codec_table.h"
#include "dissector/host_compat.h"
#include "dissector/tapped_packet.h"
#include "dissector/value_names.h"
#include "host_codec.h"
#include "stats/stream_key.h"
#include "stream_decoder.h"
#include "wav_file.h"

namespace kestrune::audio {
namespace {

constexpr const char* kCliPrefix = "simplekestrune,audio";
constexpr unsigned kVoicePacket = 0;

// "192.0.2.1_4096", and "2001.db8..1_4096" for 2001:db8::1: letters,
// digits and dots only, so that IPv6 addresses make portable file names.
std::string file_name_part(const address& a, std::uint32_t port) {
    char* text = address_to_str(nullptr, &a);
    std::string s = text != nullptr ? text : "";
    wmem_free(nullptr, text);
    for (char& c : s) {
        const bool keep =
            (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.';
        if (!keep) {
            c = '.';
        }
    }
    return s + "_" + std::to_string(port);
}

// "192.0.2.1_4096-192.0.2.2_30000-s42.wav"
std::string file_name(const StreamKey& k) {
    return file_name_part(k.src, k.src_port) + "-" + file_name_part(k.dst, k.dst_port) + "-s" +
           std::to_string(k.session_id) + ".wav";
}

std::string folder_problem(const std::string& folder) {
    struct stat st = {};
    if (folder.empty()) {
        return "no folder given; use -z " + std::string(kCliPrefix) + ",DIR";
    }
    if (stat(folder.c_str(), &st) != 0) {
        return "cannot use " + folder + ": " + std::strerror(errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        return folder + " is not a folder";
    }
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        return "cannot write into " + folder + ": " + std::strerror(errno);
    }
    return {};
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

}  // namespace

class AudioExport {
public:
    AudioExport(std::string folder, bool finish_on_draw)
        : folder_(std::move(folder)),
          finish_on_draw_(finish_on_draw),
          packing_(g726_packing()),
          files_(FilePool::size_for_descriptor_limit()) {}

    void packet(const TappedPacket& p);
    std::string finish();
    void reset() {
        order_.clear();
        streams_.clear();
    }
    // tshark draws once, after the last packet; the GUI draws now and then
    // while it reads, so there the menu's code finishes the export.
    bool finishes_on_draw() const { return finish_on_draw_ && !finished_; }
    // Streams that should have had a file and have none.
    unsigned not_written() const { return not_written_; }

private:
    void open(Stream& s);

    std::string folder_;
    bool finish_on_draw_;
    bool finished_ = false;
    unsigned not_written_ = 0;
    G726Packing packing_;
    // Before the streams: their files give their descriptors back to it.
    FilePool files_;
    StreamMap<Stream> streams_;
    std::vector<Stream*> order_;  // as their first voice packets came
};

void AudioExport::open(Stream& s) {
    std::string why;
    if (find_host_decoder(s.codec_type, packing_, why) == nullptr) {
        s.outcome = "skipped, " + why;
        return;
    }
    const std::string path = folder_ + "/" + s.file_name;
    if (path_exists(path)) {
        s.fail(path + " already exists");
        return;
    }
    s.file = std::make_unique<WavFile>(files_, folder_, s.file_name, StreamDecoder::kSampleRate);
    s.decoder = std::make_unique<StreamDecoder>(packing_, *s.file);
}

void AudioExport::packet(const TappedPacket& p) {
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
        const bool whole = p.payload_captured == p.header.payload_size;
        s->decoder->voice(sequence, p.header.codec_type, whole ? p.payload : nullptr,
                          p.payload_captured);
    }
    if (!s->file->error().empty()) {
        s->stop(s->file->error());
    }
}

std::string AudioExport::finish() {
    std::string out =
        "===================================================================\n"
        "SimpleKestrune audio export to " +
        folder_ + "\n";
    char line[160];
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
        const TimelineCounts& c = s.decoder->counts();
        (void)std::snprintf(line, sizeof line,
                            ", %.3f s, lost %lu, undecodable %lu, not voice %lu, duplicates "
                            "%lu, too late %lu, codec changes %lu\n",
                            static_cast<double>(c.samples) / StreamDecoder::kSampleRate, c.lost,
                            c.undecodable, c.not_voice, c.duplicates, c.too_late,
                            s.decoder->codec_changes());
        // The file is complete: its stream's decoder state goes now.
        s.decoder.reset();
        s.file.reset();
        out += s.file_name + line;
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
    out += "===================================================================\n";
    reset();
    finished_ = true;
    return out;
}

namespace {

void reset_listener(void* tapdata) {
    static_cast<AudioExport*>(tapdata)->reset();
}

tap_packet_status listen(void* tapdata, packet_info* /*pinfo*/, epan_dissect_t* /*edt*/,
                         const void* data, tap_flags_t /*flags*/) {
    static_cast<AudioExport*>(tapdata)->packet(*static_cast<const TappedPacket*>(data));
    return TAP_PACKET_DONT_REDRAW;
}

void draw(void* tapdata) {
    // The listener stays registered: the host is walking its listeners.
    auto* e = static_cast<AudioExport*>(tapdata);
    if (e->finishes_on_draw()) {
        (void)std::fputs(e->finish().c_str(), stdout);
        if (e->not_written() > 0) {
            (void)std::fprintf(stderr,
                               "tshark: -z %s: %u voice stream(s) not written, see the summary\n",
                               kCliPrefix, e->not_written());
        }
    }
}

// The host calls this when the listener is removed. Files not finished by
// then are removed with their objects.
void free_listener(void* tapdata) {
    delete static_cast<AudioExport*>(tapdata);
}

bool cli_init(const char* argument, void* /*userdata*/) {
    // Everything after "simplekestrune,audio," is the folder, commas and all.
    const std::string arg = argument;
    const std::string prefix = std::string(kCliPrefix) + ",";
    const std::string folder =
        arg.compare(0, prefix.size(), prefix) == 0 ? arg.substr(prefix.size()) : std::string();
    std::string error;
    if (start_audio_export(folder, true, error) == nullptr) {
        (void)std::fprintf(stderr, "tshark: -z %s: %s\n", argument, error.c_str());
        return false;
    }
    return true;
}

}  // namespace

AudioExport* start_audio_export(const std::string& folder, bool finish_on_draw,
                                std::string& error) {
    error = folder_problem(folder);
    if (!error.empty()) {
        return nullptr;
    }
    load_host_codecs();
    auto* e = new AudioExport(folder, finish_on_draw);
    GString* failed = register_tap_listener("simplekestrune", e, nullptr, TL_REQUIRES_NOTHING,
                                            reset_listener, listen, draw, free_listener);
    if (failed != nullptr) {
        error = failed->str;
        g_string_free(failed, TRUE);
        delete e;
        return nullptr;
    }
    return e;
}

std::string finish_audio_export(AudioExport* e) {
    std::string summary = e->finish();
    remove_tap_listener(e);
    return summary;
}

void register_audio_export() {
    static stat_tap_ui cli = {REGISTER_STAT_GROUP_GENERIC, nullptr, kCliPrefix,
                              stat_tap_init<cli_init>,     0,       nullptr};
    register_stat_tap_ui(&cli, nullptr);
    register_audio_menu();
}

}  // namespace kestrune::audio

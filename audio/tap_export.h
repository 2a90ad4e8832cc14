// SPDX-License-Identifier: GPL-2.0-or-later
// What the exports into WAV files share: the folder they write into, the
// listener on the protocol's tap, the -z argument and the summary's
// conventions. Each export (one file per stream, one stereo file per call)
// is a TapExport.
#pragma once

#include <epan/address.h>
#include <epan/packet_info.h>

#include <cstdint>
#include <string>

#include "dissector/stream_key.h"
#include "dissector/tapped_packet.h"

namespace kestrune::audio {

class StreamDecoder;

class TapExport {
public:
    TapExport(std::string folder, bool finish_on_draw)
        : folder_(std::move(folder)), finish_on_draw_(finish_on_draw) {}
    virtual ~TapExport() = default;
    TapExport(const TapExport&) = delete;
    TapExport& operator=(const TapExport&) = delete;

    // From the tap, after dissection: ordinary C++ objects are safe here.
    virtual void packet(const packet_info& pinfo, const TappedPacket& p) = 0;
    // Forgets everything, as when the GUI reads the capture again.
    virtual void reset() = 0;

    // Writes out what is held, gives the files their names and returns the
    // summary; the export then holds nothing.
    std::string finish();

    // tshark draws once, after the last packet; the GUI draws now and then
    // while it reads, so there the menu's code finishes the export.
    bool finishes_on_draw() const { return finish_on_draw_ && !finished_; }
    // Files that should have been written and were not, and what they are
    // ("voice stream(s)", "call(s)"), for tshark's error line.
    unsigned not_written() const { return not_written_; }
    virtual const char* not_written_what() const = 0;
    // "simplekestrune,audio": the -z argument before the folder.
    virtual const char* cli_prefix() const = 0;
    const std::string& folder() const { return folder_; }

protected:
    // The summary's lines between its rules; counts not_written_.
    virtual std::string write_out() = 0;

    unsigned not_written_ = 0;

private:
    std::string folder_;
    bool finish_on_draw_;
    bool finished_ = false;
};

// Checks the folder, loads the host's codecs and puts e on the tap, which
// then owns it (it is freed when its listener is removed). On failure frees
// e, returns false and says why in error.
bool start_export(TapExport* e, std::string& error);
// finish(), then removes the listener (which frees the export).
std::string finish_export(TapExport* e);

// Makes an export into folder, not yet started.
using ExportMaker = TapExport* (*)(const std::string& folder, bool finish_on_draw);

// Registers `-z PREFIX,DIR` (everything after the prefix is the folder,
// commas and all), which starts make's export before tshark reads.
void register_cli_export(const char* prefix, ExportMaker make);

// "192.0.2.1_4096", and "2001.db8..1_4096" for 2001:db8::1: letters,
// digits and dots only, so that IPv6 addresses make portable file names.
std::string file_name_part(const address& a, std::uint32_t port);
// "192.0.2.1_4096-192.0.2.2_30000-s42": a stream's files are named after it.
std::string stream_file_stem(const StreamKey& k);

// "lost 1, undecodable 0, not voice 0, duplicates 1, too late 0, codec
// changes 0": what became of a decoded stream's packets.
std::string decoder_counts_text(const StreamDecoder& d);

}  // namespace kestrune::audio

// SPDX-License-Identifier: GPL-2.0-or-later
// A 16-bit mono PCM WAV file written with libsndfile as the samples come.
// It is written under a temporary name in the target folder and only gets
// its own name when it is complete; an existing file of that name is never
// replaced. Until then, or when anything fails, the temporary file is
// removed again.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <string>
#include <vector>

#include "timeline.h"

namespace kestrune::audio {

class WavFile : public SampleSink {
public:
    WavFile(const std::string& folder, const std::string& name, unsigned sample_rate);
    ~WavFile() override;
    WavFile(const WavFile&) = delete;
    WavFile& operator=(const WavFile&) = delete;

    // Empty when the file is open; otherwise what went wrong.
    const std::string& error() const { return error_; }

    void write(const std::int16_t* samples, std::size_t count) override;
    void write_silence(std::size_t count) override;

    // Gives the finished file its name; false (and error() says why) if
    // that fails, in which case nothing is left behind.
    bool commit();
    // Removes the temporary file.
    void discard();

private:
    void flush();
    void fail(const std::string& what);

    std::string final_path_;
    std::string temporary_path_;
    SNDFILE* file_ = nullptr;
    std::vector<std::int16_t> buffer_;
    std::string error_;
};

// Whether a directory entry of that name is there already (of any kind).
bool path_exists(const std::string& path);

}  // namespace kestrune::audio

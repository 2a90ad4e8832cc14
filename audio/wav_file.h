// SPDX-License-Identifier: GPL-2.0-or-later
// 16-bit PCM WAV files (mono unless asked) written with libsndfile as the samples come,
// any number of them at once: a FilePool keeps a bounded number open and
// closes the least recently written ones, which are opened again to append
// when their turn comes. A closed file keeps neither buffer nor libsndfile
// state, only its names, and is opened again only if it is still the file
// created (no symbolic link followed; the same device and inode).
//
// Each file is written under a temporary name in the target folder and only
// gets its own name when it is complete; an existing file of that name is
// never replaced. Until then, or when anything fails, the temporary file is
// removed again.
#pragma once

#include <sndfile.h>
#include <sys/types.h>

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "timeline.h"

namespace kestrune::audio {

class WavFile;

class FilePool {
public:
    explicit FilePool(std::size_t max_open) : max_open_(max_open == 0 ? 1 : max_open) {}
    FilePool(const FilePool&) = delete;
    FilePool& operator=(const FilePool&) = delete;

    // A quarter of the process's open-file limit (at most 256): the host,
    // its capture file and its GUI keep the rest.
    static std::size_t size_for_descriptor_limit();

    std::size_t open_count() const { return open_.size(); }

private:
    friend class WavFile;
    // Opens f, closing others as needed; false if f failed.
    bool open(WavFile& f);
    void used(WavFile& f);
    void forget(WavFile& f);
    void close_least_recent();

    std::size_t max_open_;
    std::list<WavFile*> open_;  // most recently written first
};

class WavFile : public SampleSink {
public:
    // Nothing is created until the first samples come.
    // channels: samples are then written interleaved, frame by frame.
    WavFile(FilePool& pool, const std::string& folder, const std::string& name,
            unsigned sample_rate, unsigned channels = 1);
    ~WavFile() override;
    WavFile(const WavFile&) = delete;
    WavFile& operator=(const WavFile&) = delete;

    // Empty while all is well; otherwise what went wrong.
    const std::string& error() const { return error_; }

    void write(const std::int16_t* samples, std::size_t count) override;
    void write_silence(std::size_t count) override;

    // Gives the finished file its name; false (and error() says why) if
    // that fails, in which case nothing is left behind.
    bool commit();
    // Completes the temporary file and leaves it there, to be read back
    // (temporary_path()) and then discarded: the file is never given its
    // name. False (and error() says why) if that fails.
    bool close_written();
    const std::string& temporary_path() const { return temporary_path_; }
    // Removes the temporary file.
    void discard();

private:
    friend class FilePool;
    bool ensure_open();
    // 0 once open; else the errno of a failed open(), or -1 when the file
    // has failed for good.
    int open_now();
    // The temporary file opened again to append, or -1 (errno set, or 0
    // when what is there now is not the file created).
    int reopen();
    // Writes out the buffer and closes, to be opened again later.
    void close_for_now();
    void flush();
    void fail(const std::string& what);

    FilePool& pool_;
    std::string final_path_;
    std::string temporary_path_;
    unsigned sample_rate_;
    unsigned channels_;
    bool created_ = false;
    // The temporary file as created, to know it again when reopening.
    dev_t device_ = 0;
    ino_t inode_ = 0;
    SNDFILE* file_ = nullptr;
    std::vector<std::int16_t> buffer_;
    std::string error_;
    bool in_pool_ = false;
    std::list<WavFile*>::iterator pool_place_{};
};

// Whether a directory entry of that name is there already (of any kind).
bool path_exists(const std::string& path);

}  // namespace kestrune::audio

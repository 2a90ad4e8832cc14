// SPDX-License-Identifier: GPL-2.0-or-later
#include "wav_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kestrune::audio {

namespace {
// Samples gathered before each write: fewer, larger writes, and a fixed
// 16 KiB per open file.
constexpr std::size_t kBufferSamples = 8192;
}  // namespace

bool path_exists(const std::string& path) {
    struct stat st = {};
    return lstat(path.c_str(), &st) == 0;
}

WavFile::WavFile(const std::string& folder, const std::string& name, unsigned sample_rate)
    : final_path_(folder + "/" + name),
      temporary_path_(folder + "/." + name + "." + std::to_string(getpid()) + ".part") {
    // O_EXCL: never write through a name that someone else put there.
    const int fd = open(temporary_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        error_ = "cannot create " + temporary_path_ + ": " + std::strerror(errno);
        temporary_path_.clear();
        return;
    }
    SF_INFO info{};
    info.samplerate = static_cast<int>(sample_rate);
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    file_ = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (file_ == nullptr) {
        close(fd);
        fail(std::string("libsndfile cannot write WAV: ") + sf_strerror(nullptr));
        return;
    }
    buffer_.reserve(kBufferSamples);
}

WavFile::~WavFile() {
    discard();
}

void WavFile::write(const std::int16_t* samples, std::size_t count) {
    while (count > 0 && file_ != nullptr) {
        const std::size_t n = std::min(count, kBufferSamples - buffer_.size());
        buffer_.insert(buffer_.end(), samples, samples + n);
        samples += n;
        count -= n;
        if (buffer_.size() == kBufferSamples) {
            flush();
        }
    }
}

void WavFile::write_silence(std::size_t count) {
    while (count > 0 && file_ != nullptr) {
        const std::size_t n = std::min(count, kBufferSamples - buffer_.size());
        buffer_.insert(buffer_.end(), n, 0);
        count -= n;
        if (buffer_.size() == kBufferSamples) {
            flush();
        }
    }
}

void WavFile::flush() {
    if (file_ == nullptr || buffer_.empty()) {
        return;
    }
    const auto wanted = static_cast<sf_count_t>(buffer_.size());
    if (sf_write_short(file_, buffer_.data(), wanted) != wanted) {
        fail(std::string("cannot write ") + temporary_path_ + ": " + sf_strerror(file_));
        return;
    }
    buffer_.clear();
}

void WavFile::fail(const std::string& what) {
    if (error_.empty()) {
        error_ = what;
    }
    discard();
}

bool WavFile::commit() {
    flush();
    if (file_ == nullptr) {
        return false;
    }
    // sf_close writes the header's final sizes.
    const int closed = sf_close(file_);
    file_ = nullptr;
    if (closed != 0) {
        fail(std::string("cannot finish ") + temporary_path_ + ": " + sf_error_number(closed));
        return false;
    }
    // link() fails rather than replace a file that has turned up meanwhile.
    // File systems without hard links (FAT) get a check, then a rename.
    int failure = link(temporary_path_.c_str(), final_path_.c_str()) == 0 ? 0 : errno;
    if (failure == 0) {
        unlink(temporary_path_.c_str());
    } else if (failure == EPERM && path_exists(final_path_)) {
        failure = EEXIST;
    } else if (failure == EPERM) {
        failure = rename(temporary_path_.c_str(), final_path_.c_str()) == 0 ? 0 : errno;
    }
    if (failure != 0) {
        fail(failure == EEXIST ? final_path_ + " already exists"
                               : "cannot create " + final_path_ + ": " + std::strerror(failure));
        return false;
    }
    temporary_path_.clear();
    return true;
}

void WavFile::discard() {
    if (file_ != nullptr) {
        sf_close(file_);
        file_ = nullptr;
    }
    if (!temporary_path_.empty()) {
        unlink(temporary_path_.c_str());
        temporary_path_.clear();
    }
}

}  // namespace kestrune::audio

// SPDX-License-Identifier: GPL-2.0-or-later
#include "wav_file.h"

#include <fcntl.h>
#include <sys/resource.h>
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
constexpr std::size_t kMostOpen = 256;
}  // namespace

bool path_exists(const std::string& path) {
    struct stat st = {};
    return lstat(path.c_str(), &st) == 0;
}

std::size_t FilePool::size_for_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return kMostOpen;
    }
    return std::clamp<std::size_t>(static_cast<std::size_t>(limit.rlim_cur / 4), 1, kMostOpen);
}

bool FilePool::open(WavFile& f) {
    while (open_.size() >= max_open_) {
        close_least_recent();
    }
    for (;;) {
        const int failure = f.open_now();
        if (failure == 0) {
            open_.push_front(&f);
            f.pool_place_ = open_.begin();
            f.in_pool_ = true;
            return true;
        }
        // Others (the host, another export) may hold descriptors too: give
        // back ours until this one opens.
        if ((failure == EMFILE || failure == ENFILE) && !open_.empty()) {
            close_least_recent();
            continue;
        }
        if (failure > 0) {
            f.fail("cannot open " + f.temporary_path_ + ": " + std::strerror(failure));
        }
        return false;
    }
}

void FilePool::used(WavFile& f) {
    if (f.pool_place_ != open_.begin()) {
        open_.splice(open_.begin(), open_, f.pool_place_);
    }
}

void FilePool::forget(WavFile& f) {
    if (f.in_pool_) {
        open_.erase(f.pool_place_);
        f.in_pool_ = false;
    }
}

void FilePool::close_least_recent() {
    WavFile* f = open_.back();
    forget(*f);
    f->close_for_now();
}

WavFile::WavFile(FilePool& pool, const std::string& folder, const std::string& name,
                 unsigned sample_rate, unsigned channels)
    : pool_(pool),
      final_path_(folder + "/" + name),
      temporary_path_(folder + "/." + name + "." + std::to_string(getpid()) + ".part"),
      sample_rate_(sample_rate),
      channels_(channels) {}

WavFile::~WavFile() {
    discard();
}

bool WavFile::ensure_open() {
    if (file_ != nullptr) {
        pool_.used(*this);
        return true;
    }
    return error_.empty() && pool_.open(*this);
}

int WavFile::open_now() {
    SF_INFO info{};
    int mode = SFM_RDWR;
    int fd = -1;
    if (!created_) {
        // O_EXCL: never write through a name that someone else put there.
        fd = open(temporary_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EMFILE && errno != ENFILE) {
            const int failure = errno;
            const std::string path = temporary_path_;
            temporary_path_.clear();  // not ours to remove
            fail("cannot create " + path + ": " + std::strerror(failure));
            return -1;
        }
        created_ = fd >= 0;
        struct stat st = {};
        if (created_ && fstat(fd, &st) != 0) {
            const int failure = errno;
            close(fd);
            fail("cannot create " + temporary_path_ + ": " + std::strerror(failure));
            return -1;
        }
        device_ = st.st_dev;
        inode_ = st.st_ino;
        mode = SFM_WRITE;
        info.samplerate = static_cast<int>(sample_rate_);
        info.channels = static_cast<int>(channels_);
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    } else {
        fd = reopen();
        if (fd < 0 && errno == 0) {
            const std::string path = temporary_path_;
            temporary_path_.clear();  // not ours to remove
            fail(path +
                 " is no longer the file this export created (replaced meanwhile); "
                 "left as it is");
            return -1;
        }
    }
    if (fd < 0) {
        return errno;
    }
    file_ = sf_open_fd(fd, mode, &info, SF_TRUE);
    // Appending: libsndfile has read the header it wrote last time.
    if (file_ != nullptr && mode == SFM_RDWR && sf_seek(file_, 0, SEEK_END | SFM_WRITE) < 0) {
        sf_close(file_);
        file_ = nullptr;
        fail("cannot append to " + temporary_path_);
        return -1;
    }
    if (file_ == nullptr) {
        close(fd);
        fail(std::string("libsndfile cannot write WAV: ") + sf_strerror(nullptr));
        return -1;
    }
    buffer_.reserve(kBufferSamples);
    return 0;
}

int WavFile::reopen() {
    // The folder may be writable by others, who could have put a link or a
    // file of theirs under the temporary name since it was closed: never
    // follow a symbolic link, and append only to the very file created.
    const int fd = open(temporary_path_.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ELOOP) {
            errno = 0;
        }
        return -1;
    }
    struct stat st = {};
    if (fstat(fd, &st) != 0 || st.st_dev != device_ || st.st_ino != inode_) {
        close(fd);
        errno = 0;
        return -1;
    }
    return fd;
}

void WavFile::close_for_now() {
    flush();
    if (file_ == nullptr) {
        return;
    }
    // sf_close writes the header's sizes so far.
    const int closed = sf_close(file_);
    file_ = nullptr;
    std::vector<std::int16_t>().swap(buffer_);
    if (closed != 0) {
        fail(std::string("cannot write ") + temporary_path_ + ": " + sf_error_number(closed));
    }
}

void WavFile::write(const std::int16_t* samples, std::size_t count) {
    while (count > 0 && ensure_open()) {
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
    while (count > 0 && ensure_open()) {
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

bool WavFile::close_written() {
    // A stream whose every place was silence before anything came still
    // gets its file.
    if (!ensure_open()) {
        return false;
    }
    flush();
    if (file_ == nullptr) {
        return false;
    }
    pool_.forget(*this);
    const int closed = sf_close(file_);
    file_ = nullptr;
    std::vector<std::int16_t>().swap(buffer_);
    if (closed != 0) {
        fail(std::string("cannot finish ") + temporary_path_ + ": " + sf_error_number(closed));
        return false;
    }
    return true;
}

bool WavFile::commit() {
    if (!close_written()) {
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
    pool_.forget(*this);
    if (file_ != nullptr) {
        sf_close(file_);
        file_ = nullptr;
    }
    std::vector<std::int16_t>().swap(buffer_);
    if (created_ && !temporary_path_.empty()) {
        unlink(temporary_path_.c_str());
    }
    temporary_path_.clear();
}

}  // namespace kestrune::audio

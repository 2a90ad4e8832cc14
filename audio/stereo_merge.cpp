// SPDX-License-Identifier: GPL-2.0-or-later
#include "stereo_merge.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <vector>

#include "wav_file.h"

namespace kestrune::audio {
namespace {

constexpr std::size_t kFrames = 4096;

// One channel's samples in order: its offset's silence, the file, then
// silence for as long as asked.
class ChannelReader {
public:
    ChannelReader(const ChannelSource& source, std::string& error) : offset_(source.offset) {
        if (source.path.empty()) {
            return;
        }
        SF_INFO info{};
        file_ = sf_open(source.path.c_str(), SFM_READ, &info);
        if (file_ == nullptr || info.channels != 1) {
            error = "cannot read back " + source.path + ": " +
                    (file_ == nullptr ? sf_strerror(nullptr) : "not one channel");
            return;
        }
        length_ = static_cast<std::uint64_t>(info.frames);
    }
    ~ChannelReader() {
        if (file_ != nullptr) {
            sf_close(file_);
        }
    }
    ChannelReader(const ChannelReader&) = delete;
    ChannelReader& operator=(const ChannelReader&) = delete;

    std::uint64_t end() const { return offset_ + length_; }

    // The next count samples into out; false when the file gave fewer than
    // it said it holds.
    bool read(std::int16_t* out, std::size_t count) {
        std::fill(out, out + count, 0);
        const std::uint64_t first = std::max(position_, offset_);
        const std::uint64_t last = std::min(position_ + count, end());
        position_ += count;
        if (first >= last) {
            return true;
        }
        const auto n = static_cast<sf_count_t>(last - first);
        return sf_readf_short(file_, out + (first - (position_ - count)), n) == n;
    }

private:
    SNDFILE* file_ = nullptr;
    std::uint64_t offset_;
    std::uint64_t length_ = 0;
    std::uint64_t position_ = 0;
};

}  // namespace

std::int64_t merge_stereo(const ChannelSource& left, const ChannelSource& right, WavFile& out,
                          std::string& error) {
    ChannelReader channel[2] = {{left, error}, {right, error}};
    if (!error.empty()) {
        return -1;
    }
    const std::uint64_t frames = std::max(channel[0].end(), channel[1].end());
    std::array<std::int16_t, kFrames> side[2];
    std::vector<std::int16_t> frame_buffer(2 * kFrames);
    for (std::uint64_t done = 0; done < frames;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kFrames, frames - done));
        for (unsigned c = 0; c < 2; ++c) {
            if (!channel[c].read(side[c].data(), n)) {
                error = "cannot read back " + (c == 0 ? left.path : right.path);
                return -1;
            }
        }
        for (std::size_t i = 0; i < n; ++i) {
            frame_buffer[2 * i] = side[0][i];
            frame_buffer[(2 * i) + 1] = side[1][i];
        }
        out.write(frame_buffer.data(), 2 * n);
        if (!out.error().empty()) {
            error = out.error();
            return -1;
        }
        done += n;
    }
    return static_cast<std::int64_t>(frames);
}

}  // namespace kestrune::audio

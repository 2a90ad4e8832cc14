// SPDX-License-Identifier: GPL-2.0-or-later
// Two mono files laid side by side as one stereo file: offsets, padding and
// the pieces the merge reads in, checked frame by frame on real files.
#include "audio/stereo_merge.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "audio/wav_file.h"

namespace kestrune::audio {
namespace {

class StereoMerge : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/stereo-merge-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        folder_ = name;
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    std::string mono(const std::string& name, const std::vector<std::int16_t>& samples) {
        WavFile f(pool_, folder_, name, 8000);
        f.write(samples.data(), samples.size());
        EXPECT_TRUE(f.commit()) << f.error();
        return folder_ + "/" + name;
    }

    // Merges into "out.wav"; the frames read back as (left, right) pairs.
    std::vector<std::pair<int, int>> merge(const ChannelSource& left, const ChannelSource& right,
                                           std::int64_t expected_frames) {
        WavFile out(pool_, folder_, "out.wav", 8000, 2);
        std::string error;
        EXPECT_EQ(merge_stereo(left, right, out, error), expected_frames) << error;
        EXPECT_TRUE(out.commit()) << out.error();
        SF_INFO info{};
        SNDFILE* f = sf_open((folder_ + "/out.wav").c_str(), SFM_READ, &info);
        EXPECT_NE(f, nullptr);
        EXPECT_EQ(info.channels, 2);
        EXPECT_EQ(info.samplerate, 8000);
        std::vector<std::int16_t> raw(static_cast<std::size_t>(info.frames) * 2);
        EXPECT_EQ(sf_readf_short(f, raw.data(), info.frames), info.frames);
        sf_close(f);
        std::filesystem::remove(folder_ + "/out.wav");
        std::vector<std::pair<int, int>> frames;
        for (std::size_t i = 0; i + 1 < raw.size(); i += 2) {
            frames.emplace_back(raw[i], raw[i + 1]);
        }
        return frames;
    }

    static std::vector<std::int16_t> ramp(std::size_t n, int sign) {
        std::vector<std::int16_t> v(n);
        for (std::size_t i = 0; i < n; ++i) {
            v[i] = static_cast<std::int16_t>(sign * static_cast<int>(i % 997 + 1));
        }
        return v;
    }

    FilePool pool_{8};
    std::string folder_;
};

// The sample of a channel at frame f, or silence outside its file.
int at(const std::vector<std::int16_t>& s, std::uint64_t offset, std::size_t f) {
    return f >= offset && f - offset < s.size() ? s[f - offset] : 0;
}

TEST_F(StereoMerge, EachChannelKeepsItsOffsetAcrossPiecesAndTheShorterIsPadded) {
    const auto left = ramp(10000, 1);
    const auto right = ramp(5000, -1);
    const std::string l = mono("l.wav", left);
    const std::string r = mono("r.wav", right);
    // Offsets that straddle the merge's 4096-frame pieces; either side longer.
    for (const auto& [left_at, right_at] :
         std::vector<std::pair<std::uint64_t, std::uint64_t>>{{0, 4100}, {9000, 3}, {0, 0}}) {
        const std::uint64_t frames = std::max(left_at + left.size(), right_at + right.size());
        const auto got = merge({l, left_at}, {r, right_at}, static_cast<std::int64_t>(frames));
        ASSERT_EQ(got.size(), frames);
        for (std::size_t f = 0; f < frames; ++f) {
            ASSERT_EQ(got[f], std::make_pair(at(left, left_at, f), at(right, right_at, f)))
                << "frame " << f << ", offsets " << left_at << " and " << right_at;
        }
    }
}

TEST_F(StereoMerge, ASilentChannelAndACallWithoutSamples) {
    const auto right = ramp(100, 1);
    const auto got = merge({"", 0}, {mono("r.wav", right), 7}, 107);
    ASSERT_EQ(got.size(), 107U);
    for (std::size_t f = 0; f < got.size(); ++f) {
        ASSERT_EQ(got[f], std::make_pair(0, at(right, 7, f))) << "frame " << f;
    }
    EXPECT_TRUE(merge({"", 0}, {"", 0}, 0).empty());
}

TEST_F(StereoMerge, AnUnreadableSourceFailsBeforeAnythingIsWritten) {
    WavFile out(pool_, folder_, "out.wav", 8000, 2);
    std::string error;
    EXPECT_EQ(merge_stereo({folder_ + "/missing.wav", 0}, {"", 0}, out, error), -1);
    EXPECT_NE(error.find("cannot read back " + folder_ + "/missing.wav"), std::string::npos)
        << error;
    out.discard();
    EXPECT_TRUE(std::filesystem::is_empty(folder_));
}

// In a folder others can write to, a closed temporary file may be swapped
// for a link to a file of theirs, or for a file of their own: reopened to
// append, neither is written to nor removed, and only that file stops.
TEST_F(StereoMerge, AReopenAppendsOnlyToTheFileItCreated) {
    // A WAV file, which the export could well append to.
    const std::string theirs = mono("theirs.wav", ramp(10, -1));
    const auto size = std::filesystem::file_size(theirs);
    for (const bool link : {true, false}) {
        FilePool one{1};
        WavFile swapped(one, folder_, "swapped.wav", 8000);
        WavFile other(one, folder_, "other.wav", 8000);
        const auto samples = ramp(100, 1);
        swapped.write(samples.data(), samples.size());
        other.write(samples.data(), samples.size());  // closes the first
        const std::string part = swapped.temporary_path();
        ASSERT_EQ(unlink(part.c_str()), 0);
        ASSERT_EQ(
            link ? symlink(theirs.c_str(), part.c_str()) : ::link(theirs.c_str(), part.c_str()), 0);

        swapped.write(samples.data(), samples.size());
        EXPECT_NE(swapped.error().find(part + " is no longer the file this export created"),
                  std::string::npos)
            << swapped.error();
        EXPECT_FALSE(swapped.commit());
        EXPECT_TRUE(other.commit()) << other.error();
        std::error_code ec;
        EXPECT_EQ(std::filesystem::file_size(theirs), size);
        EXPECT_EQ(std::filesystem::is_symlink(part, ec), link);
        EXPECT_FALSE(std::filesystem::exists(folder_ + "/swapped.wav"));
        EXPECT_TRUE(std::filesystem::exists(folder_ + "/other.wav"));
        std::filesystem::remove(part);
        std::filesystem::remove(folder_ + "/other.wav");
    }
}

}  // namespace
}  // namespace kestrune::audio

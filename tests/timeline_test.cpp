// SPDX-License-Identifier: GPL-2.0-or-later
// The reorder window's edges and the length of filled silence; the host
// tests decode real streams through the host's codecs.
#include "audio/timeline.h"

#include <gtest/gtest.h>

#include <vector>

namespace kestrune::audio {
namespace {

// Each payload byte becomes one sample of its value plus 100 times the
// codec; a payload starting with 0xEE is refused.
struct ByteDecoder : PayloadDecoder {
    bool decode(unsigned codec, const std::uint8_t* p, std::size_t n,
                std::vector<std::int16_t>& out) override {
        if (n == 0 || p[0] == 0xEE)
            return false;
        for (std::size_t i = 0; i < n; ++i)
            out.push_back(static_cast<std::int16_t>(p[i] + 100 * codec));
        return true;
    }
};

struct Collect : SampleSink {
    std::vector<std::int16_t> samples;
    void write(const std::int16_t* s, std::size_t n) override {
        samples.insert(samples.end(), s, s + n);
    }
    void write_silence(std::size_t n) override { samples.insert(samples.end(), n, 0); }
};

class TimelineTest : public ::testing::Test {
protected:
    void add(std::int64_t sequence, std::vector<std::uint8_t> payload, unsigned codec = 0) {
        timeline.add(sequence, codec, payload.data(), payload.size());
    }
    ByteDecoder decoder;
    Collect sink;
    Timeline timeline{decoder, sink, 3};
};

TEST_F(TimelineTest, APacketIsPlacedUntilItsPlaceHasLeftTheWindow) {
    constexpr auto w = static_cast<std::int64_t>(Timeline::kWindow);
    add(0, {1});
    add(w, {2});      // pushes place 0 out
    add(1, {3});      // kWindow - 1 behind the highest: still placed
    add(w + 2, {4});  // pushes places 1 and 2 out
    add(2, {5});      // its place is written: too late
    timeline.finish();
    EXPECT_EQ(timeline.counts().too_late, 1u);
    EXPECT_EQ(timeline.counts().lost, static_cast<unsigned long>(w - 1));  // 2 .. w-1, w+1
    ASSERT_EQ(sink.samples.size(), static_cast<std::size_t>(w + 3));
    EXPECT_EQ(sink.samples[0], 1);
    EXPECT_EQ(sink.samples[1], 3);
    EXPECT_EQ(sink.samples[2], 0);
    EXPECT_EQ(sink.samples[w], 2);
    EXPECT_EQ(sink.samples[w + 2], 4);
}

TEST_F(TimelineTest, TheStartMovesBackForAFirstPacketThatComesSecond) {
    add(10, {7});
    add(9, {6});
    timeline.finish();
    EXPECT_EQ(sink.samples, (std::vector<std::int16_t>{6, 7}));
    EXPECT_EQ(timeline.counts().too_late, 0u);
}

TEST_F(TimelineTest, SilenceIsAsLongAsTheMostFrequentPacketLength) {
    add(0, {0xEE});  // refused before any length is known: the given guess
    add(1, {1, 1});
    add(2, {2, 2});
    add(3, {3, 3, 3, 3, 3});
    timeline.add_not_voice(4);
    add(6, {6, 6});  // 5 lost
    timeline.finish();
    const std::vector<std::int16_t> expected{0, 0, 0, 1, 1, 2, 2, 3, 3, 3, 3, 3, 0, 0, 0, 0, 6, 6};
    EXPECT_EQ(sink.samples, expected);
    const TimelineCounts& c = timeline.counts();
    EXPECT_EQ(c.decoded, 4u);
    EXPECT_EQ(c.undecodable, 1u);
    EXPECT_EQ(c.not_voice, 1u);
    EXPECT_EQ(c.lost, 1u);
}

TEST_F(TimelineTest, InOrderPacketsAreWrittenInBatchesAndRepeatsOfWrittenOnesAreDuplicates) {
    constexpr auto batch = static_cast<std::int64_t>(Timeline::kBatch);
    for (std::int64_t i = 0; i < batch; ++i)
        add(i, {1}, i < batch / 2 ? 0 : 1);  // the codec changes half way
    EXPECT_EQ(timeline.held(), 0u);
    EXPECT_EQ(sink.samples.size(), static_cast<std::size_t>(batch));
    EXPECT_EQ(sink.samples.front(), 1);
    EXPECT_EQ(sink.samples.back(), 101);
    add(batch - 1, {1});  // written a moment ago
    add(-1, {1});         // before the start, which has been written
    EXPECT_EQ(timeline.counts().duplicates, 1u);
    EXPECT_EQ(timeline.counts().too_late, 1u);
}

TEST_F(TimelineTest, PacketsFarOutOfOrderAreCountedInBoundedMemory) {
    // Descending: after the first window every packet comes after its place.
    constexpr std::int64_t n = 100000;
    for (std::int64_t i = n; i > 0; --i) {
        add(i, {static_cast<std::uint8_t>(i & 0x7F)});
        ASSERT_LE(timeline.held(), Timeline::kWindow);
    }
    timeline.finish();
    const TimelineCounts& c = timeline.counts();
    EXPECT_EQ(c.decoded + c.too_late, static_cast<unsigned long>(n));
    EXPECT_EQ(c.decoded, Timeline::kBatch);  // the first run, once whole
}

}  // namespace
}  // namespace kestrune::audio

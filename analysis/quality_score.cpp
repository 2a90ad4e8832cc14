// SPDX-License-Identifier: GPL-2.0-or-later
#include "quality_score.h"

#include <algorithm>

namespace kestrune {
namespace {

// By codec number. Bpl is published for G.711 (without concealment), G.729
// and G.723.1; the ADPCM codecs and G.728 take G.711's.
constexpr double kNoScore = -1;
constexpr CodecImpairment kImpairments[16] = {
    {50, 4.3},      // 0 G726_16
    {19, 16.1},     // 1 G723Low (5.3 kbit/s)
    {15, 16.1},     // 2 G723High (6.3 kbit/s)
    {11, 19.0},     // 3 G729
    {0, 25.1},      // 4 G711Alaw
    {0, 25.1},      // 5 G711Mulaw
    {kNoScore, 0},  // 6 Vocantis_9_6
    {7, 4.3},       // 7 G726_32
    {7, 4.3},       // 8 G728
    {kNoScore, 0},  // 9 Vocantis_7_2
    {50, 4.3},      // 10 G727_16
    {7, 4.3},       // 11 G727_32
    {kNoScore, 0},  // 12 Vocantis_4_8
    {kNoScore, 0},  // 13 Transparent
    {25, 4.3},      // 14 G727_24_16
    {25, 4.3},      // 15 G726_24
};

// G.107's default mouth-to-ear figures, simplified: R0 - Is with the
// default noise and loudness values.
constexpr double kBasicRating = 93.2;
// Delay beyond which talker and listener start to step on each other.
constexpr double kDelayKnee = 177.3;

}  // namespace

std::optional<CodecImpairment> codec_impairment(int codec) {
    if (codec < 0 || codec > 15 || kImpairments[codec].ie == kNoScore) {
        return std::nullopt;
    }
    return kImpairments[codec];
}

double r_factor(const EModelInput& in) {
    const double d = in.delay_ms;
    const double id = (0.024 * d) + (d > kDelayKnee ? 0.11 * (d - kDelayKnee) : 0);
    const double ppl = in.loss_percent;
    const double ie = in.codec.ie;
    const double ie_eff = ie + ((95 - ie) * ppl / ((ppl / in.burst_ratio) + in.codec.bpl));
    return std::clamp(kBasicRating - id - ie_eff, 0.0, 100.0);
}

double mos_from_r(double r) {
    if (r < 0) {
        return 1;
    }
    if (r > 100) {
        return 4.5;
    }
    return 1 + (0.035 * r) + (r * (r - 60) * (100 - r) * 7e-6);
}

double score_delay_ms(const StreamAnalysis& a, const ReceiverFigures& receiver,
                      double network_delay_ms) {
    return receiver.delay_ms + a.packet_length_ms() + network_delay_ms;
}

std::optional<QualityScore> stream_score(const StreamAnalysis& a, const ReceiverFigures& receiver,
                                         double network_delay_ms) {
    const std::optional<CodecImpairment> codec = codec_impairment(a.codec());
    const unsigned expected = a.expected();
    if (!codec || !a.has_media_clock() || expected == 0) {
        return std::nullopt;
    }
    const unsigned unplayed = a.sequence().missing() + receiver.late;
    if (unplayed >= expected) {
        return QualityScore{0, mos_from_r(0)};
    }
    const EModelInput in{100.0 * unplayed / expected, receiver.bursts.burst_ratio(),
                         score_delay_ms(a, receiver, network_delay_ms), *codec};
    const double r = r_factor(in);
    return QualityScore{r, mos_from_r(r)};
}

}  // namespace kestrune

// SPDX-License-Identifier: GPL-2.0-or-later
// A listening-quality estimate for one media stream: the ITU-T G.107
// E-model as it is commonly simplified for packet voice (no echo, no
// noise, no advantage factor), giving the R factor and a MOS. Pure
// arithmetic: no host dependency.
#pragma once

#include <optional>

#include "playout.h"
#include "slot_history.h"
#include "stream_analysis.h"

namespace kestrune {

// Equipment impairment and packet-loss robustness of a codec (ITU-T G.113
// Appendix I).
struct CodecImpairment {
    double ie;
    double bpl;
};

// Empty for the codecs the tables give no figures for (Vocantis,
// Transparent) and for a stream of mixed codecs.
std::optional<CodecImpairment> codec_impairment(int codec);

struct EModelInput {
    double loss_percent;  // Ppl: packets lost or too late, of those expected
    double burst_ratio;   // BurstR, 1 for random loss
    double delay_ms;      // one-way mouth-to-ear delay
    CodecImpairment codec;
};

// From 0 to 100, as G.107 bounds it.
double r_factor(const EModelInput& in);
double mos_from_r(double r);

struct QualityScore {
    double r;
    double mos;
};

// The mouth-to-ear delay the score assumes: the receiver's buffer delay,
// the stream's packet length and the given one-way network delay.
double score_delay_ms(const StreamAnalysis& a, const ReceiverFigures& receiver,
                      double network_delay_ms);

// The score of a stream as a receiver played it: the delay is the
// receiver's, the stream's packet length and the given one-way network
// delay; a stream of which nothing was played scores R 0 (MOS 1). Empty for
// a codec without figures or a stream without a voice packet of known
// media length.
std::optional<QualityScore> stream_score(const StreamAnalysis& a, const ReceiverFigures& receiver,
                                         double network_delay_ms);

}  // namespace kestrune

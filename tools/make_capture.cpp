// SPDX-License-Identifier: GPL-2.0-or-later
//
// Writes a pcap capture of Simple Kestrune media traffic between two media
// gateways: interleaved sessions with codec-sized payloads every 20 ms, DTMF,
// fax and modem packets, traffic both to and from UDP port 4096, one
// unrelated datagram, and (unless told not to) a few ill-formed datagrams at
// the end. The same count and seed always give the same bytes.
//
//   make_capture --output FILE [--count N] [--seed S] [--well-formed-only]
//                [--port P]
//
// With --calls, it writes voice calls instead: C sessions (IDs from
// --session on) from each of G gateways (192.0.2.10, .11, ...) to one peer
// (192.0.2.20), each stream numbering its own packets from a random start
// and sending every 20 ms. --two-way adds the peer's direction of every
// call, on the same session ID; --ipv6 uses 2001:db8:: addresses; --rtp
// writes the same streams as RTP instead, in frames of the same sizes.
// --jitter MS delays each packet's arrival by a pseudo-random amount below MS
// milliseconds (a delay longer than the time between two packets reorders
// them, as a real network would); --loss PERCENT drops each packet with that
// probability. Both draw from their own generator, seeded from --seed, so the
// packets that do arrive carry the same bytes as without them. --impair
// FROM:TO:LOSS:JITTER gives the packets sent from FROM to TO seconds a loss
// (percent) and jitter (ms) of their own, a stretch where the call goes bad;
// the packets sent outside it arrive as they would without it.
//
// Three more options move the arrivals of whole stretches of the calls, as a
// sender's clock or a route would; they change no bytes and draw no numbers,
// so a seed loses the same packets with them as without. --drift PPM runs
// every sender's clock PPM parts per million fast (negative: slow, at most
// 100000 either way): the packet due at t microseconds into the call leaves at
// t * (1 - PPM / 1e6), so at -1000 the packets of a 10-minute call arrive
// ever later, the last 600 ms later than on a clean call. --delay-step
// MS@SECONDS changes the route for every packet sent at or after SECONDS
// (nominal send time, as --impair's FROM and TO): they arrive MS milliseconds
// later, or earlier if MS is negative. --spike MS@SECONDS delays the packets
// sent in the two seconds from SECONDS by a raised cosine that climbs from 0
// to MS milliseconds at SECONDS + 1 and falls back to 0 at SECONDS + 2.
// --delay-step and --spike may each be given more than once; all their
// delays add up, and add to the jitter. No packet arrives before the
// capture's start (those a shortened route would bring in earlier arrive at
// it), and the capture keeps them in order of arrival: when a route gets
// shorter or a spike passes, the packets sent after can overtake those sent
// before.
//
// The voice payloads are random bytes, but for the G.711 calls (the first
// and second of every four) these can carry known sound instead:
// --silent-direction A|B[:FROM:TO] digital silence in direction A (gateway
// to peer) or B (peer to gateway, with --two-way), for the whole call or
// from FROM to TO seconds; --clipping-direction the same with a 1 kHz tone
// at twice full scale, so that half its samples clip; --tone DBOV a 1 kHz
// sine of that level in every other G.711 payload. --codec 5|4|3|7 gives
// every call the same Codec Type instead (G.711 mu-law, A-law, G.729,
// G.726-32).
//
//   make_capture --output FILE --calls C [--gateways G] [--session S]
//                [--two-way] [--ipv6] [--rtp] [--count N] [--seed S] [--port P]
//                [--jitter MS] [--loss PERCENT] [--impair FROM:TO:LOSS:JITTER]
//                [--drift PPM] [--delay-step MS@SECONDS]... [--spike MS@SECONDS]...
//                [--silent-direction A|B[:FROM:TO]]
//                [--clipping-direction A|B[:FROM:TO]] [--tone DBOV] [--codec 5|4|3|7]
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <numeric>
#include <queue>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "g711_sound.h"

namespace {

using make_capture::Sound;

using Bytes = std::vector<std::uint8_t>;

constexpr double kPi = 3.14159265358979323846;

// --impair: the packets sent from from_usec up to to_usec, with a loss and
// jitter of their own.
struct Stretch {
    std::uint64_t from_usec = 0;
    std::uint64_t to_usec = 0;  // 0: no stretch
    double loss_percent = 0;
    double jitter_ms = 0;
    bool holds(std::uint64_t usec) const { return usec >= from_usec && usec < to_usec; }
};

// --delay-step: from at_usec (nominal send time) on, the route takes delay_usec
// longer, or shorter if negative.
struct DelayStep {
    std::uint64_t at_usec = 0;
    std::int64_t delay_usec = 0;
};

// --spike: the packets sent in the two seconds from at_usec take up to
// peak_usec longer, most of all at at_usec plus one second.
struct Spike {
    std::uint64_t at_usec = 0;
    double peak_usec = 0;
};

// --silent-direction, --clipping-direction: one direction's G.711 payloads,
// sent from from_usec up to to_usec, carry a sound.
struct SoundStretch {
    Sound sound = Sound::noise;  // noise: none given
    bool reverse = false;        // direction B
    std::uint64_t from_usec = 0;
    std::uint64_t to_usec = UINT64_MAX;
    bool holds(bool is_reverse, std::uint64_t usec) const {
        return sound != Sound::noise && is_reverse == reverse && usec >= from_usec &&
               usec < to_usec;
    }
};

struct Options {
    std::string output;
    unsigned long count = 60;
    unsigned long seed = 1;
    unsigned port = 4096;
    bool well_formed_only = false;
    // Calls mode.
    unsigned calls = 0;
    unsigned gateways = 1;
    unsigned first_session = 1;
    bool two_way = false;
    bool ipv6 = false;
    bool rtp = false;
    double jitter_ms = 0;
    double loss_percent = 0;
    Stretch impaired;
    double drift_ppm = 0;  // the senders' clocks against the capture's; positive: fast
    std::vector<DelayStep> steps;
    std::vector<Spike> spikes;
    SoundStretch silent;
    SoundStretch clipping;
    bool tone = false;
    double tone_dbov = -20;
    int codec = -1;  // --codec: every call's Codec Type; -1: in turn
};

struct Endpoint {
    std::vector<std::uint8_t> ip;  // 4 or 16 bytes
    unsigned port = 0;
    std::uint8_t mac_last = 0;  // the last byte of a locally administered MAC
};

struct Session {
    std::uint16_t id;
    std::uint8_t packet_type;
    std::uint8_t codec;
    std::uint8_t payload_size;
    bool from_kestrune_port;  // direction: source or destination is the port
    std::uint8_t next_sequence;
};

void put16le(Bytes& b, unsigned v) {
    b.push_back(v & 0xFF);
    b.push_back((v >> 8) & 0xFF);
}
void put16be(Bytes& b, unsigned v) {
    b.push_back((v >> 8) & 0xFF);
    b.push_back(v & 0xFF);
}
void put32le(Bytes& b, std::uint32_t v) {
    put16le(b, v & 0xFFFF);
    put16le(b, v >> 16);
}

Bytes simple_packet(unsigned length, unsigned type, bool session_sequence, bool routing,
                    unsigned codec, unsigned session_id, unsigned sequence, unsigned payload_size,
                    // Drawing numbers changes the generator:
                    // cppcheck-suppress constParameter
                    // cppcheck-suppress constParameterReference
                    std::mt19937& rng, unsigned payload_bytes) {
    Bytes b;
    put16le(b, (length & 0x7FF) | (type & 7) << 11 | (session_sequence ? 0x4000 : 0) |
                   (routing ? 0x8000 : 0));
    put16le(b, (codec & 0xF) | (session_id & 0xFFF) << 4);
    put16le(b, (sequence & 0xFF) | (payload_size & 0xFF) << 8);
    for (unsigned i = 0; i < payload_bytes; ++i) b.push_back(rng() & 0xFF);
    return b;
}

std::uint32_t ones_complement_sum(const Bytes& b, std::size_t from, std::size_t to,
                                  std::uint32_t sum = 0) {
    for (std::size_t i = from; i < to; i += 2) {
        sum += b[i] << 8 | (i + 1 < to ? b[i + 1] : 0);
    }
    return sum;
}
unsigned fold(std::uint32_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return ~sum & 0xFFFF;
}

// Ethernet + IPv4 or IPv6 + UDP around a datagram. Over IPv4 the UDP
// checksum is left at zero, which IPv4 allows and the host does not flag;
// IPv6 requires it.
Bytes frame(const Bytes& datagram, const Endpoint& src, const Endpoint& dst) {
    const bool v6 = src.ip.size() == 16;
    Bytes f = {0x02, 0x00, 0x00, 0x00, 0x00, dst.mac_last,
               0x02, 0x00, 0x00, 0x00, 0x00, src.mac_last};
    put16be(f, v6 ? 0x86DD : 0x0800);
    const std::size_t ip = f.size();
    const unsigned udp_length = 8 + datagram.size();
    if (v6) {
        f.insert(f.end(), {0x60, 0x00, 0x00, 0x00});
        put16be(f, udp_length);
        f.insert(f.end(), {17, 64});
    } else {
        f.insert(f.end(), {0x45, 0x00});
        put16be(f, 20 + udp_length);
        f.insert(f.end(), {0x00, 0x00, 0x40, 0x00, 64, 17, 0x00, 0x00});
    }
    f.insert(f.end(), src.ip.begin(), src.ip.end());
    f.insert(f.end(), dst.ip.begin(), dst.ip.end());
    if (!v6) {
        const unsigned sum = fold(ones_complement_sum(f, ip, ip + 20));
        f[ip + 10] = sum >> 8 & 0xFF;
        f[ip + 11] = sum & 0xFF;
    }
    const std::size_t udp = f.size();
    put16be(f, src.port);
    put16be(f, dst.port);
    put16be(f, udp_length);
    put16be(f, 0);
    f.insert(f.end(), datagram.begin(), datagram.end());
    if (v6) {
        // Pseudo-header: both addresses, the UDP length and next header 17.
        std::uint32_t sum = ones_complement_sum(f, ip + 8, ip + 40);
        sum += udp_length + 17;
        unsigned c = fold(ones_complement_sum(f, udp, f.size(), sum));
        if (c == 0)
            c = 0xFFFF;
        f[udp + 6] = c >> 8 & 0xFF;
        f[udp + 7] = c & 0xFF;
    }
    return f;
}

class PcapWriter {
public:
    explicit PcapWriter(std::FILE* out) : out_(out) {
        Bytes h;
        put32le(h, 0xa1b2c3d4);
        put16le(h, 2);
        put16le(h, 4);
        put32le(h, 0);
        put32le(h, 0);
        put32le(h, 65535);
        put32le(h, 1);  // Ethernet
        write(h);
    }
    void packet(const Bytes& f, std::uint64_t usec) {
        Bytes h;
        put32le(h, static_cast<std::uint32_t>(1796428800 + (usec / 1000000)));
        put32le(h, static_cast<std::uint32_t>(usec % 1000000));
        put32le(h, f.size());
        put32le(h, f.size());
        write(h);
        write(f);
    }
    bool ok() const { return ok_; }

private:
    void write(const Bytes& b) {
        ok_ = ok_ && std::fwrite(b.data(), 1, b.size(), out_) == b.size();
    }
    std::FILE* out_;
    bool ok_ = true;
};

// Payload bytes of 20 ms of audio for each codec (0 where the codec has no
// fixed frame; those sessions carry transparent-sized payloads).
std::uint8_t payload_for_codec(unsigned codec) {
    static const std::uint8_t sizes[16] = {40, 24, 24, 20, 160, 160, 24, 80,
                                           40, 18, 40, 80, 12,  160, 60, 60};
    return sizes[codec & 0xF];
}

// cppcheck-suppress constParameterReference ; drawing numbers changes it
std::vector<Session> make_sessions(std::mt19937& rng) {
    // Voice sessions on several codecs, session IDs 0 and 4095 included,
    // sequence numbers starting close to the 255 -> 0 wrap.
    std::vector<Session> s = {
        {0, 0, 5, 0, true, 0},      // G.711 mu-law
        {4095, 0, 3, 0, false, 0},  // G.729
        {17, 0, 4, 0, true, 0},     // G.711 A-law
        {1234, 0, 7, 0, false, 0},  // G.726-32
        {300, 0, 1, 0, true, 0},    // G.723 low rate
    };
    for (auto& x : s) {
        x.payload_size = payload_for_codec(x.codec);
        x.next_sequence = static_cast<std::uint8_t>(250 + (rng() % 6));
    }
    return s;
}

// A non-voice packet for the session: DTMF, fax, modem, or the unnamed type 7.
void set_other_type(Session& s, unsigned type, unsigned& payload) {
    s.packet_type = static_cast<std::uint8_t>(type);
    switch (type) {
        case 1:
            payload = 4;
            break;  // DTMF event
        case 2:
        case 3:
        case 6:
            payload = 48;
            break;  // fax
        case 4:
        case 5:
            payload = 32;
            break;  // modem
        default:
            payload = 8;
            break;
    }
}

// A number from min up to max, the whole argument.
bool parse_number(const char* text, double min, double max, double& value) {
    char* end = nullptr;  // NOLINT(misc-const-correctness): strtod's out-parameter
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(value) && value >= min && value <= max;
}

// A non-negative number up to max, the whole argument.
bool parse_amount(const char* text, double max, double& value) {
    return parse_number(text, 0, max, value);
}

// N numbers separated by colons, each from 0 up to its max.
template <std::size_t N>
bool parse_amounts(const std::string& text, const double (&max)[N], double (&v)[N]) {
    std::size_t start = 0;
    for (std::size_t k = 0; k < N; ++k) {
        const std::size_t end = k + 1 < N ? text.find(':', start) : text.size();
        if (end == std::string::npos ||
            !parse_amount(text.substr(start, end - start).c_str(), max[k], v[k]))
            return false;
        start = end + 1;
    }
    return true;
}

// Seconds to microseconds, FROM before TO by at least one.
bool parse_times(double from_s, double to_s, std::uint64_t& from_usec, std::uint64_t& to_usec) {
    from_usec = static_cast<std::uint64_t>(std::llround(from_s * 1e6));
    to_usec = static_cast<std::uint64_t>(std::llround(to_s * 1e6));
    return from_usec < to_usec;
}

// FROM:TO:LOSS:JITTER.
bool parse_impairment(const std::string& text, Stretch& stretch) {
    double v[4];
    if (!parse_amounts(text, {1e9, 1e9, 100, 60000}, v))
        return false;
    stretch.loss_percent = v[2];
    stretch.jitter_ms = v[3];
    return parse_times(v[0], v[1], stretch.from_usec, stretch.to_usec);
}

// MS@SECONDS: a delay of min_ms up to 60000 milliseconds from a nominal send
// time on.
bool parse_timed_delay(const std::string& text, double min_ms, double& ms, std::uint64_t& at_usec) {
    const std::size_t at = text.find('@');
    double seconds = 0;
    if (at == std::string::npos || !parse_number(text.substr(0, at).c_str(), min_ms, 60000, ms) ||
        !parse_amount(text.substr(at + 1).c_str(), 1e9, seconds))
        return false;
    at_usec = static_cast<std::uint64_t>(std::llround(seconds * 1e6));
    return true;
}

// A|B, or A|B:FROM:TO.
bool parse_sound_stretch(const std::string& text, Sound sound, SoundStretch& stretch) {
    if (text.empty() || (text[0] != 'A' && text[0] != 'B'))
        return false;
    stretch = SoundStretch{sound, text[0] == 'B', 0, UINT64_MAX};
    if (text.size() == 1)
        return true;
    double v[2];
    return text[1] == ':' && parse_amounts(text.substr(2), {1e9, 1e9}, v) &&
           parse_times(v[0], v[1], stretch.from_usec, stretch.to_usec);
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--output" && has_value)
            o.output = argv[++i];
        else if (a == "--count" && has_value)
            o.count = std::strtoul(argv[++i], nullptr, 10);
        else if (a == "--seed" && has_value)
            o.seed = std::strtoul(argv[++i], nullptr, 10);
        else if (a == "--port" && has_value)
            o.port = std::strtoul(argv[++i], nullptr, 10);
        else if (a == "--well-formed-only")
            o.well_formed_only = true;
        else if (a == "--calls" && has_value)
            o.calls = std::strtoul(argv[++i], nullptr, 10);
        else if (a == "--gateways" && has_value)
            o.gateways = std::strtoul(argv[++i], nullptr, 10);
        else if (a == "--session" && has_value)
            o.first_session = std::strtoul(argv[++i], nullptr, 10);
        else if (a == "--two-way")
            o.two_way = true;
        else if (a == "--ipv6")
            o.ipv6 = true;
        else if (a == "--rtp")
            o.rtp = true;
        else if (a == "--jitter" && has_value) {
            if (!parse_amount(argv[++i], 60000, o.jitter_ms))
                return false;
        } else if (a == "--loss" && has_value) {
            if (!parse_amount(argv[++i], 100, o.loss_percent))
                return false;
        } else if (a == "--impair" && has_value) {
            if (!parse_impairment(argv[++i], o.impaired))
                return false;
        } else if (a == "--drift" && has_value) {
            if (!parse_number(argv[++i], -100000, 100000, o.drift_ppm))
                return false;
        } else if (a == "--delay-step" && has_value) {
            double ms = 0;
            DelayStep step;
            if (!parse_timed_delay(argv[++i], -60000, ms, step.at_usec))
                return false;
            step.delay_usec = std::llround(ms * 1000);
            o.steps.push_back(step);
        } else if (a == "--spike" && has_value) {
            double ms = 0;
            Spike spike;
            if (!parse_timed_delay(argv[++i], 0, ms, spike.at_usec))
                return false;
            spike.peak_usec = ms * 1000;
            o.spikes.push_back(spike);
        } else if (a == "--silent-direction" && has_value) {
            if (!parse_sound_stretch(argv[++i], Sound::silence, o.silent))
                return false;
        } else if (a == "--clipping-direction" && has_value) {
            if (!parse_sound_stretch(argv[++i], Sound::clipping, o.clipping))
                return false;
        } else if (a == "--codec" && has_value) {
            const unsigned long codec = std::strtoul(argv[++i], nullptr, 10);
            if (codec != 3 && codec != 4 && codec != 5 && codec != 7)
                return false;
            o.codec = static_cast<int>(codec);
        } else if (a == "--tone" && has_value) {
            char* end = nullptr;  // NOLINT(misc-const-correctness): strtod's out-parameter
            o.tone_dbov = std::strtod(argv[++i], &end);
            o.tone = true;
            if (end == argv[i] || *end != '\0' || !std::isfinite(o.tone_dbov) || o.tone_dbov > 0 ||
                o.tone_dbov < -99)
                return false;
        } else
            return false;
    }
    const bool network = o.jitter_ms > 0 || o.loss_percent > 0 || o.impaired.to_usec > 0 ||
                         o.drift_ppm != 0 || !o.steps.empty() || !o.spikes.empty();
    const bool sound = o.tone || o.silent.sound != Sound::noise || o.clipping.sound != Sound::noise;
    const bool reverse = o.silent.reverse || o.clipping.reverse;
    return !o.output.empty() && o.port <= 0xFFFF && o.gateways >= 1 && o.gateways <= 200 &&
           (!reverse || o.two_way) && !(sound && o.rtp) &&
           (o.calls > 0 ||
            (o.gateways == 1 && !o.two_way && !o.ipv6 && !o.rtp && !network && !sound));
}

std::vector<std::uint8_t> host_address(bool ipv6, unsigned host) {
    if (ipv6) {
        std::vector<std::uint8_t> a = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        a[15] = static_cast<std::uint8_t>(host);
        return a;
    }
    return {192, 0, 2, static_cast<std::uint8_t>(host)};
}

// One direction of a call.
struct CallStream {
    Endpoint src;
    Endpoint dst;
    unsigned session_id = 0;
    unsigned codec = 0;
    std::uint16_t sequence = 0;  // 8 bits used by Simple Packets, 16 by RTP
    std::uint32_t ssrc = 0;
    std::uint32_t timestamp = 0;
    bool reverse = false;       // the peer's direction (B)
    std::uint64_t samples = 0;  // sent so far, for the phase of a tone
};

// RTP payload types of the codecs the calls use (G.726-32's old static 2).
unsigned rtp_payload_type(unsigned codec) {
    switch (codec) {
        case 4:
            return 8;  // PCMA
        case 3:
            return 18;  // G729
        case 7:
            return 2;
        default:
            return 0;  // PCMU
    }
}

// cppcheck-suppress constParameterReference ; drawing numbers changes it
Bytes rtp_packet(CallStream& s, unsigned frame_payload, std::mt19937& rng) {
    Bytes b = {0x80, static_cast<std::uint8_t>(rtp_payload_type(s.codec))};
    put16be(b, s.sequence++);
    put16be(b, s.timestamp >> 16);
    put16be(b, s.timestamp & 0xFFFF);
    put16be(b, s.ssrc >> 16);
    put16be(b, s.ssrc & 0xFFFF);
    s.timestamp += 160;  // 20 ms at 8 kHz
    // The same datagram size as the Simple Packet it stands for.
    for (unsigned i = 12; i < 6 + frame_payload; ++i) b.push_back(rng() & 0xFF);
    return b;
}

// A sender's clock PPM parts per million fast takes that much less
// capture time for each of its own milliseconds.
double capture_time_per_sender_time(double drift_ppm) {
    return 1 - (drift_ppm * 1e-6);
}

// The network between the senders and the capture point: it delays and drops
// packets, and hands the rest to the capture in order of arrival. Without
// any of the options that do so, it passes every packet straight through at
// its send time.
class Network {
public:
    Network(const Options& o, PcapWriter& pcap)
        : jitter_usec_(o.jitter_ms * 1000),
          loss_(o.loss_percent / 100),
          impaired_(o.impaired),
          rate_(capture_time_per_sender_time(o.drift_ppm)),
          steps_(o.steps),
          spikes_(o.spikes),
          straight_(o.jitter_ms <= 0 && o.loss_percent <= 0 && o.impaired.to_usec == 0 &&
                    o.drift_ppm == 0 && o.steps.empty() && o.spikes.empty()),
          // Its own generator, so that the payloads stay those of a clean
          // call; a different seed from the payloads' one.
          rng_(static_cast<std::mt19937::result_type>(o.seed) ^ 0x6e657477U),
          pcap_(pcap) {}

    void send(Bytes f, std::uint64_t usec) {
        if (straight_) {
            pcap_.packet(f, usec);
            return;
        }
        // Both draws for every packet, so that a seed loses the same packets
        // whatever the jitter, and the same outside an impaired stretch.
        const bool impaired = impaired_.holds(usec);
        const bool lost = unit() < (impaired ? impaired_.loss_percent / 100 : loss_);
        const auto delay = static_cast<std::uint64_t>(
            unit() * (impaired ? impaired_.jitter_ms * 1000 : jitter_usec_));
        // Nothing sent from now on can arrive before then.
        flush(earliest(usec));
        if (!lost) {
            const std::int64_t arrival =
                route(usec) + spike(usec) + static_cast<std::int64_t>(delay);
            pending_.emplace(static_cast<std::uint64_t>(std::max<std::int64_t>(arrival, 0)),
                             sent_++, std::move(f));
        }
    }
    void flush(std::uint64_t until = UINT64_MAX) {
        while (!pending_.empty() && std::get<0>(pending_.top()) <= until) {
            pcap_.packet(std::get<2>(pending_.top()), std::get<0>(pending_.top()));
            pending_.pop();
        }
    }

private:
    double unit() { return static_cast<double>(rng_()) / 4294967296.0; }  // [0, 1)

    // When the packet due at usec leaves by the sender's clock, plus the
    // delay of the route it takes: its arrival before spikes and jitter.
    std::int64_t route(std::uint64_t usec) const {
        const std::int64_t t = std::llround(static_cast<double>(usec) * rate_);
        return std::accumulate(steps_.begin(), steps_.end(), t,
                               [usec](std::int64_t sum, const DelayStep& s) {
                                   return usec >= s.at_usec ? sum + s.delay_usec : sum;
                               });
    }
    std::int64_t spike(std::uint64_t usec) const {
        double extra = 0;
        for (const Spike& s : spikes_) {
            if (usec >= s.at_usec && usec - s.at_usec < 2000000) {
                const double phase = static_cast<double>(usec - s.at_usec) / 1e6;  // [0, 2)
                extra += s.peak_usec * (1 - std::cos(kPi * phase)) / 2;
            }
        }
        return std::llround(extra);
    }
    // The earliest any packet sent at or after usec can arrive. Spikes and
    // jitter only add, and the drifted send time only grows, so it is the
    // lowest route from usec on: at usec or where a later step starts.
    // Without drift or steps that is usec itself.
    std::uint64_t earliest(std::uint64_t usec) const {
        std::int64_t t = route(usec);
        for (const DelayStep& s : steps_) {
            if (s.at_usec > usec)
                t = std::min(t, route(s.at_usec));
        }
        return static_cast<std::uint64_t>(std::max<std::int64_t>(t, 0));
    }

    // Arrival time, then the order sent, which keeps ties in sending order.
    using Arrival = std::tuple<std::uint64_t, unsigned long, Bytes>;
    struct Later {
        bool operator()(const Arrival& a, const Arrival& b) const {
            return std::tie(std::get<0>(a), std::get<1>(a)) >
                   std::tie(std::get<0>(b), std::get<1>(b));
        }
    };
    double jitter_usec_;
    double loss_;
    Stretch impaired_;
    double rate_;  // capture time per nominal sender time
    std::vector<DelayStep> steps_;
    std::vector<Spike> spikes_;
    bool straight_;
    std::mt19937 rng_;
    PcapWriter& pcap_;
    unsigned long sent_ = 0;
    std::priority_queue<Arrival, std::vector<Arrival>, Later> pending_;
};

// The sound the options give a G.711 payload sent at usec, if any.
void give_sound(const Options& o, CallStream& s, std::uint64_t usec, std::uint8_t* payload,
                unsigned samples) {
    const bool alaw = s.codec == 4;
    if (s.codec != 4 && s.codec != 5)
        return;
    Sound sound = o.tone ? Sound::tone : Sound::noise;
    if (o.silent.holds(s.reverse, usec))
        sound = Sound::silence;
    else if (o.clipping.holds(s.reverse, usec))
        sound = Sound::clipping;
    if (sound != Sound::noise)
        make_capture::write_g711(payload, samples, s.samples, sound, o.tone_dbov, alaw);
    s.samples += samples;
}

void write_calls(const Options& o, std::mt19937& rng, PcapWriter& pcap) {
    static const unsigned codecs[] = {5, 4, 3, 7};  // G.711 mu/A-law, G.729, G.726-32
    const Endpoint peer{host_address(o.ipv6, 20), 0, 0x14};
    std::vector<CallStream> streams;
    for (unsigned g = 0; g < o.gateways; ++g) {
        const Endpoint gateway{host_address(o.ipv6, 10 + g), o.port,
                               static_cast<std::uint8_t>(0x0a + g)};
        for (unsigned c = 0; c < o.calls; ++c) {
            Endpoint far = peer;
            far.port = 31000 + (2 * (c % 10000));
            const unsigned session = (o.first_session + c) & 0xFFF;
            const unsigned codec = o.codec >= 0 ? static_cast<unsigned>(o.codec) : codecs[c % 4];
            streams.push_back({gateway, far, session, codec, 0, 0, 0, false, 0});
            if (o.two_way)
                streams.push_back({far, gateway, session, codec, 0, 0, 0, true, 0});
        }
    }
    for (auto& s : streams) {
        s.sequence = static_cast<std::uint16_t>(rng() & (o.rtp ? 0xFFFF : 0xFF));
        s.ssrc = static_cast<std::uint32_t>(rng());
        s.timestamp = static_cast<std::uint32_t>(rng());
    }
    // Every stream sends every 20 ms, the streams evenly spread in between.
    const std::uint64_t spacing = 20000 / streams.size();
    Network network(o, pcap);
    for (unsigned long n = 0; n < o.count; ++n) {
        CallStream& s = streams[n % streams.size()];
        const unsigned payload = payload_for_codec(s.codec);
        Bytes datagram = o.rtp ? rtp_packet(s, payload, rng)
                               : simple_packet(6 + payload, 0, false, false, s.codec, s.session_id,
                                               s.sequence++ & 0xFF, payload, rng, payload);
        // The random bytes are drawn all the same, so that the other
        // streams keep theirs.
        if (!o.rtp)
            give_sound(o, s, n * spacing, datagram.data() + 6, payload);
        network.send(frame(datagram, s.src, s.dst), n * spacing);
    }
    network.flush();
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        (void)std::fprintf(stderr,
                           "usage: %s --output FILE [--count N] [--seed S] [--port P]"
                           " [--well-formed-only]\n"
                           "       %s --output FILE --calls C [--gateways G] [--session S]"
                           " [--two-way] [--ipv6] [--rtp] [--count N] [--seed S] [--port P]"
                           " [--jitter MS] [--loss PERCENT] [--impair FROM:TO:LOSS:JITTER]"
                           " [--drift PPM] [--delay-step MS@SECONDS]... [--spike MS@SECONDS]..."
                           " [--silent-direction A|B[:FROM:TO]]"
                           " [--clipping-direction A|B[:FROM:TO]] [--tone DBOV]"
                           " [--codec 5|4|3|7]\n",
                           argv[0], argv[0]);
        return 2;
    }
    std::FILE* out = std::fopen(o.output.c_str(), "wb");
    if (!out) {
        std::perror(o.output.c_str());
        return 1;
    }
    std::mt19937 rng(static_cast<std::mt19937::result_type>(o.seed));
    PcapWriter pcap(out);
    if (o.calls > 0) {
        write_calls(o, rng, pcap);
        const bool written = pcap.ok();
        if (std::fclose(out) != 0 || !written) {
            std::perror(o.output.c_str());
            return 1;
        }
        return 0;
    }
    std::vector<Session> sessions = make_sessions(rng);
    std::uint64_t usec = 0;
    const unsigned peer_port = 31000;

    auto emit = [&](const Bytes& datagram, bool from_port, unsigned port) {
        const Endpoint gateway_a{host_address(false, 10), port, 0x0a};
        const Endpoint gateway_b{host_address(false, 20), peer_port, 0x14};
        pcap.packet(from_port ? frame(datagram, gateway_a, gateway_b)
                              : frame(datagram, gateway_b, gateway_a),
                    usec);
        usec += 20000 / sessions.size();
    };

    unsigned other_packets = 0;
    for (unsigned long n = 0; n < o.count; ++n) {
        Session& s = sessions[n % sessions.size()];
        unsigned payload = s.payload_size;
        s.packet_type = 0;
        // Every eighth round, one session sends something other than voice;
        // rotating through types 1..7 covers DTMF, fax, modem and type 7.
        if ((n / sessions.size()) % 8 == 7) {
            set_other_type(s, 1 + (other_packets++ % 7), payload);
        }
        const bool session_sequence = (n % 3) == 0;
        const bool routing = (n % 5) == 0;
        emit(simple_packet(6 + payload, s.packet_type, session_sequence, routing, s.codec, s.id,
                           s.next_sequence++, payload, rng, payload),
             s.from_kestrune_port, o.port);
        if (n == o.count / 2 && !o.well_formed_only) {
            // Unrelated traffic on another port must stay undecoded.
            emit(Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'g', 'w', '\n'}, true, 7001);
        }
    }

    if (!o.well_formed_only) {
        // Shorter than the header, and an empty datagram.
        emit(Bytes{0x09, 0x08, 0x31, 0x00}, false, o.port);
        emit(Bytes{}, false, o.port);
        // Payload size 200 but only 10 payload bytes on the wire.
        emit(simple_packet(206, 0, false, false, 4, 17, 1, 200, rng, 10), false, o.port);
    }
    const bool written = pcap.ok();
    if (std::fclose(out) != 0 || !written) {
        std::perror(o.output.c_str());
        return 1;
    }
    return 0;
}

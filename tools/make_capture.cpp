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
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Options {
    std::string output;
    unsigned long count = 60;
    unsigned long seed = 1;
    unsigned port = 4096;
    bool well_formed_only = false;
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

// Ethernet + IPv4 + UDP around a datagram; the UDP checksum is left at zero,
// which IPv4 allows and the host does not flag.
Bytes frame(const Bytes& datagram, bool from_port, unsigned src_port, unsigned dst_port) {
    static const std::array<std::uint8_t, 4> gateway_a{192, 0, 2, 10};
    static const std::array<std::uint8_t, 4> gateway_b{192, 0, 2, 20};
    const auto& src = from_port ? gateway_a : gateway_b;
    const auto& dst = from_port ? gateway_b : gateway_a;
    Bytes f;
    const std::uint8_t mac_a[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0a};
    const std::uint8_t mac_b[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x14};
    f.insert(f.end(), from_port ? mac_b : mac_a, (from_port ? mac_b : mac_a) + 6);
    f.insert(f.end(), from_port ? mac_a : mac_b, (from_port ? mac_a : mac_b) + 6);
    put16be(f, 0x0800);
    const std::size_t ip = f.size();
    const unsigned total = 20 + 8 + datagram.size();
    f.insert(f.end(), {0x45, 0x00});
    put16be(f, total);
    f.insert(f.end(), {0x00, 0x00, 0x40, 0x00, 64, 17, 0x00, 0x00});
    f.insert(f.end(), src.begin(), src.end());
    f.insert(f.end(), dst.begin(), dst.end());
    std::uint32_t sum = 0;
    for (std::size_t i = ip; i < ip + 20; i += 2) sum += f[i] << 8 | f[i + 1];
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    f[ip + 10] = ~sum >> 8 & 0xFF;
    f[ip + 11] = ~sum & 0xFF;
    put16be(f, src_port);
    put16be(f, dst_port);
    put16be(f, 8 + datagram.size());
    put16be(f, 0);
    f.insert(f.end(), datagram.begin(), datagram.end());
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
        else
            return false;
    }
    return !o.output.empty() && o.port <= 0xFFFF;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        (void)std::fprintf(stderr,
                           "usage: %s --output FILE [--count N] [--seed S] [--port P]"
                           " [--well-formed-only]\n",
                           argv[0]);
        return 2;
    }
    std::FILE* out = std::fopen(o.output.c_str(), "wb");
    if (!out) {
        std::perror(o.output.c_str());
        return 1;
    }
    std::mt19937 rng(static_cast<std::mt19937::result_type>(o.seed));
    std::vector<Session> sessions = make_sessions(rng);
    PcapWriter pcap(out);
    std::uint64_t usec = 0;
    const unsigned peer_port = 31000;

    auto emit = [&](const Bytes& datagram, bool from_port, unsigned port) {
        const unsigned src = from_port ? port : peer_port;
        const unsigned dst = from_port ? peer_port : port;
        pcap.packet(frame(datagram, from_port, src, dst), usec);
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

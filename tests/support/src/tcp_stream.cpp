#include "testsupport/tcp_stream.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/unique_fd.h"

namespace testsupport {

namespace {

std::uint32_t Get16(const std::uint8_t* p) { return std::uint32_t{p[0]} << 8 | p[1]; }
std::uint32_t Get32(const std::uint8_t* p) { return Get16(p) << 16 | Get16(p + 2); }
void Put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
    Put16(p, v >> 16);
    Put16(p + 2, v & 0xFFFF);
}

// A plain word-by-word ones'-complement sum, folded.
std::uint32_t Sum(const std::uint8_t* p, std::size_t n, std::uint32_t sum = 0) {
    for (std::size_t i = 0; i + 1 < n; i += 2) sum += Get16(p + i);
    if (n % 2) sum += std::uint32_t{p[n - 1]} << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return sum;
}

std::uint32_t PseudoSum(const std::uint8_t* ip, std::size_t tcpLength) {
    return Sum(ip + 12, 8) + 6 + static_cast<std::uint32_t>(tcpLength);
}

}  // namespace

std::vector<std::uint8_t> TcpFrame(TcpPeer& peer, std::uint32_t seq, std::uint32_t ack, std::uint8_t flags,
                                   const std::uint8_t* data, std::size_t length, std::uint16_t mss) {
    const std::size_t header = mss ? 24 : 20;
    std::vector<std::uint8_t> f(14 + 20 + header + length, 0);
    std::memcpy(f.data(), peer.deviceMac, 6);
    std::memcpy(f.data() + 6, peer.mac, 6);
    f[12] = 0x08;
    std::uint8_t* ip = f.data() + 14;
    ip[0] = 0x45;
    Put16(ip + 2, static_cast<std::uint32_t>(20 + header + length));
    Put16(ip + 4, peer.nextId++);
    ip[6] = 0x40;  // don't fragment
    ip[8] = 64;
    ip[9] = 6;
    Put32(ip + 12, peer.ip);
    Put32(ip + 16, peer.deviceIp);
    Put16(ip + 10, ~Sum(ip, 20) & 0xFFFF);
    std::uint8_t* tcp = ip + 20;
    Put16(tcp, peer.port);
    Put16(tcp + 2, peer.devicePort);
    Put32(tcp + 4, seq);
    Put32(tcp + 8, ack);
    tcp[12] = static_cast<std::uint8_t>(header / 4 << 4);
    tcp[13] = flags;
    Put16(tcp + 14, 65535);
    if (mss) {
        tcp[20] = 2;
        tcp[21] = 4;
        Put16(tcp + 22, mss);
    }
    if (length) std::memcpy(tcp + header, data, length);
    Put16(tcp + 16, ~Sum(tcp, header + length, PseudoSum(ip, header + length)) & 0xFFFF);
    return f;
}

bool ReadTcpFrame(const std::uint8_t* frame, std::size_t length, TcpSeen* seen, std::string* why) {
    why->clear();
    if (length < 14 + 20 || frame[12] != 0x08 || frame[13] != 0x00 || frame[14 + 9] != 6) return false;
    const std::uint8_t* ip = frame + 14;
    const std::size_t total = Get16(ip + 2);
    if (length > 1514) return *why = "a frame of " + std::to_string(length) + " bytes", false;
    if (ip[0] != 0x45 || total != length - 14) return *why = "an IPv4 length unlike the frame's", false;
    if (Sum(ip, 20) != 0xFFFF) return *why = "a bad IPv4 header checksum", false;
    const std::uint8_t* tcp = ip + 20;
    const std::size_t header = std::size_t{tcp[12]} / 16 * 4;
    if (header < 20 || 20 + header > total) return *why = "a bad TCP header length", false;
    if (Sum(tcp, total - 20, PseudoSum(ip, total - 20)) != 0xFFFF) return *why = "a bad TCP checksum", false;
    seen->seq = Get32(tcp + 4);
    seen->ack = Get32(tcp + 8);
    seen->flags = tcp[13];
    seen->window = static_cast<std::uint16_t>(Get16(tcp + 14));
    seen->payload = tcp + header;
    seen->length = total - 20 - header;
    return true;
}

std::vector<std::uint8_t> ArpReplyFor(const std::uint8_t* request, std::size_t length, std::uint32_t ip,
                                      const std::uint8_t mac[6]) {
    static const std::uint8_t kRequest[8] = {0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01};
    if (length < 42 || request[12] != 0x08 || request[13] != 0x06 ||
        std::memcmp(request + 14, kRequest, 8) != 0 || Get32(request + 38) != ip)
        return {};
    std::vector<std::uint8_t> r(42);
    std::memcpy(r.data(), request + 6, 6);
    std::memcpy(r.data() + 6, mac, 6);
    r[12] = 0x08;
    r[13] = 0x06;
    std::memcpy(r.data() + 14, kRequest, 7);
    r[21] = 2;
    std::memcpy(r.data() + 22, mac, 6);
    std::memcpy(r.data() + 28, request + 38, 4);
    std::memcpy(r.data() + 32, request + 22, 10);  // the asker's MAC and address
    return r;
}

std::uint64_t DevicePackets(const std::string& name, bool written) {
    std::ifstream in("/proc/net/dev");
    std::string line;
    while (std::getline(in, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        const auto start = line.find_first_not_of(' ');
        if (line.compare(start, colon - start, name) != 0) continue;
        std::istringstream fields(line.substr(colon + 1));
        std::uint64_t v[10] = {};
        for (auto& x : v) fields >> x;
        return written ? v[1] : v[9];
    }
    return 0;
}

void CrossTcpStream(TcpPeer& peer, const TcpLink& link, int listener, std::size_t downBytes,
                    TcpStreamCounts* counts) {
    constexpr std::uint16_t kMss = 1460;
    std::uint32_t mySeq = 7000;
    ASSERT_TRUE(link.send({TcpFrame(peer, mySeq, 0, kTcpSyn, nullptr, 0, kMss)}));
    TcpSeen seen;
    std::string why;
    auto synAck = link.next();
    ASSERT_TRUE(ReadTcpFrame(synAck.data(), synAck.size(), &seen, &why)) << "no SYN+ACK " << why;
    ASSERT_EQ(seen.flags & 0x12, 0x12) << "not SYN+ACK";
    ++mySeq;
    std::uint32_t theirNext = seen.seq + 1;
    const std::size_t window = seen.window;
    ASSERT_TRUE(link.send({TcpFrame(peer, mySeq, theirNext, kTcpAck)}));
    pollfd p = {listener, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1) << "the connection was not accepted";
    platform::UniqueFd conn(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_GE(conn.Get(), 0);

    const std::size_t upSegments = std::min<std::size_t>(40, window / kMss);
    ASSERT_GE(upSegments, 10u);
    std::vector<std::uint8_t> up(upSegments * kMss);
    for (std::size_t i = 0; i < up.size(); ++i) up[i] = static_cast<std::uint8_t>(i * 13 + i / 251);
    const std::uint64_t writesBefore = link.writes ? link.writes() : 0;
    for (std::size_t i = 0; i < upSegments; i += 10) {
        std::vector<std::vector<std::uint8_t>> frames;
        for (std::size_t j = i; j < std::min(upSegments, i + 10); ++j)
            frames.push_back(TcpFrame(peer, mySeq + static_cast<std::uint32_t>(j * kMss), theirNext,
                                      j + 1 == upSegments ? kTcpAck | kTcpPush : kTcpAck,
                                      up.data() + j * kMss, kMss));
        ASSERT_TRUE(link.send(frames));
    }
    counts->segmentsUp = upSegments;
    mySeq += static_cast<std::uint32_t>(up.size());
    std::vector<std::uint8_t> got(up.size());
    std::size_t have = 0;
    while (have < got.size()) {
        p = {conn.Get(), POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 10000), 1) << "stalled after " << have << " bytes";
        const ssize_t n = ::recv(conn.Get(), got.data() + have, got.size() - have, 0);
        ASSERT_GT(n, 0);
        have += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(got, up) << "the bytes sent up arrived changed";
    if (link.writes) counts->writesUp = static_cast<std::size_t>(link.writes() - writesBefore);

    std::vector<std::uint8_t> down(downBytes);
    for (std::size_t i = 0; i < down.size(); ++i) down[i] = static_cast<std::uint8_t>(i * 7 + i / 509);
    const std::uint64_t readsBefore = link.reads ? link.reads() : 0;
    std::thread writer([&] {
        std::size_t sent = 0;
        while (sent < down.size()) {
            const ssize_t n = ::send(conn.Get(), down.data() + sent, down.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += static_cast<std::size_t>(n);
        }
    });
    std::vector<std::uint8_t> received;
    counts->framesDown = 0;
    while (received.size() < down.size()) {
        auto f = link.next();
        if (f.empty()) break;
        if (!ReadTcpFrame(f.data(), f.size(), &seen, &why)) {
            EXPECT_TRUE(why.empty()) << why;
            if (!why.empty()) break;
            continue;
        }
        if (seen.length == 0) continue;
        ++counts->framesDown;
        EXPECT_LE(seen.length, kMss);
        if (seen.seq != theirNext) {
            // A resent segment already taken is harmless; a gap is a frame lost.
            EXPECT_LT(static_cast<std::int32_t>(seen.seq - theirNext), 0)
                << "a gap after " << received.size();
            if (static_cast<std::int32_t>(seen.seq - theirNext) > 0) break;
            continue;
        }
        received.insert(received.end(), seen.payload, seen.payload + seen.length);
        theirNext += static_cast<std::uint32_t>(seen.length);
        if (!link.send({TcpFrame(peer, mySeq, theirNext, kTcpAck)})) break;
    }
    if (link.reads) counts->readsDown = static_cast<std::size_t>(link.reads() - readsBefore);
    ::shutdown(conn.Get(), SHUT_RDWR);
    writer.join();
    EXPECT_EQ(received, down) << "the bytes sent down arrived changed";
}

void CrossTcpStreamThroughOffloads(TcpPeer& peer, TcpLink link, int listener, const std::string& device) {
    link.writes = [device] { return DevicePackets(device, true); };
    link.reads = [device] { return DevicePackets(device, false); };
    TcpStreamCounts counts;
    CrossTcpStream(peer, link, listener, 200000, &counts);
    EXPECT_GT(counts.writesUp, 0u) << "no packet count for the device";
    EXPECT_LT(counts.writesUp, counts.segmentsUp) << "no segments were merged";
    EXPECT_GT(counts.readsDown, 0u);
    EXPECT_LT(counts.readsDown, counts.framesDown) << "no super-frames were handed up";
}

}  // namespace testsupport

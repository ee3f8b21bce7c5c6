// The CONNECT request text and the reader of the proxy's answer, without sockets.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "fennix/fennix.h"
#include "prendle/proxy_handshake.h"

using prendle::ProxyAnswer;
using prendle::ProxyAnswerReader;

namespace {

ProxyAnswer FeedAll(ProxyAnswerReader& reader, const std::string& text, std::size_t* used) {
    return reader.Feed(text.data(), text.size(), used);
}

TEST(ProxyRequest, PlainRequestMatchesTheWireText) {
    EXPECT_EQ(
        prendle::BuildProxyRequest("10.1.2.3", 443, ""),
        "CONNECT 10.1.2.3:443 HTTP/1.0\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1)"
        "\r\nHost: 10.1.2.3\r\nContent-Length: 0\r\nProxy-Connection: Keep-Alive\r\nPragma: "
        "no-cache\r\n\r\n");
    // A host name as long as DNS allows is named whole, in the request line and in Host.
    const std::string name = std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') +
                             "." + std::string(61, 'd');
    const std::string request = prendle::BuildProxyRequest(name, 8443, "");
    EXPECT_EQ(request.rfind("CONNECT " + name + ":8443 HTTP/1.0\r\n", 0), 0u);
    EXPECT_NE(request.find("\r\nHost: " + name + "\r\n"), std::string::npos);
}

TEST(ProxyRequest, CredentialsGoOnOneLineWhateverTheirLength) {
    for (std::size_t length : {1u, 5u, 56u, 57u, 58u, 120u, 255u}) {
        std::string credentials = "user:" + std::string(length, 'p');
        std::string request = prendle::BuildProxyRequest("10.1.2.3", 443, credentials);
        auto line = request.find("Proxy-Authorization: Basic ");
        ASSERT_NE(line, std::string::npos);
        auto value = line + std::string("Proxy-Authorization: Basic ").size();
        auto end = request.find("\r\n", value);
        std::string encoded = request.substr(value, end - value);
        EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
        EXPECT_EQ(request.substr(end), "\r\n\r\n") << "the header block ends right after the value";
        std::string decoded(encoded.size(), '\0');
        int n = fennix_Base64Decode(encoded.data(), static_cast<int>(encoded.size()),
                                    reinterpret_cast<unsigned char*>(decoded.data()));
        decoded.resize(static_cast<std::size_t>(n));
        EXPECT_EQ(decoded, credentials);
    }
}

TEST(ProxyRequest, UserNameLeavesThePasswordOut) {
    EXPECT_EQ(prendle::ProxyUserName("alice:s3cret"), "alice");
    EXPECT_EQ(prendle::ProxyUserName("nocolon"), "nocolon");
}

TEST(ProxyAnswerReader, TwoHundredWithBlankLineConnectsAndLeavesTheRest) {
    ProxyAnswerReader reader;
    std::size_t used = 0;
    std::string answer = "HTTP/1.1 200 Connection established\r\nVia: x\r\n\r\n";
    EXPECT_EQ(FeedAll(reader, answer + "TUNNEL", &used), ProxyAnswer::kConnected);
    EXPECT_EQ(used, answer.size());
}

TEST(ProxyAnswerReader, LowerCaseStatusIsAccepted) {
    ProxyAnswerReader reader;
    std::size_t used = 0;
    EXPECT_EQ(FeedAll(reader, "http/1.0 200 ok\r\n\r\n", &used), ProxyAnswer::kConnected);
}

TEST(ProxyAnswerReader, AnswerSplitAcrossPacketsIsReadToTheBlankLine) {
    ProxyAnswerReader reader;
    std::size_t used = 0;
    EXPECT_EQ(FeedAll(reader, "HTTP/1.0 200 OK\r", &used), ProxyAnswer::kNeedMore);
    EXPECT_EQ(used, 16u);
    EXPECT_EQ(FeedAll(reader, "\n\r", &used), ProxyAnswer::kNeedMore);
    EXPECT_EQ(FeedAll(reader, "\nrest", &used), ProxyAnswer::kConnected);
    EXPECT_EQ(used, 1u);
}

TEST(ProxyAnswerReader, AuthenticationAnswersAreRejected) {
    for (const char* status :
         {"HTTP/1.0 407 x", "HTTP/1.1 407 Proxy", "http/1.1 401 no", "HTTP/1.0 401\r\n"}) {
        ProxyAnswerReader reader;
        std::size_t used = 0;
        EXPECT_EQ(FeedAll(reader, status, &used), ProxyAnswer::kAuthRejected) << status;
    }
}

TEST(ProxyAnswerReader, OtherStatusAndNonHttpAreRefusedAsSoonAsTheyShow) {
    for (const char* answer : {"HTTP/1.1 403 Forbidden\r\n\r\n", "HTTP/1.1 3", "HTTP/2",
                               "SSH-2.0-OpenSSH\r\n", "\x16\x03\x01", "X"}) {
        ProxyAnswerReader reader;
        std::size_t used = 0;
        EXPECT_EQ(FeedAll(reader, answer, &used), ProxyAnswer::kRefused) << answer;
        EXPECT_EQ(used, std::string(answer).size());
        // The verdict stands: nothing more is taken.
        EXPECT_EQ(FeedAll(reader, "HTTP/1.1 200 OK\r\n\r\n", &used), ProxyAnswer::kRefused);
        EXPECT_EQ(used, 0u);
    }
}

// A proxy may cut its answer anywhere, down to a byte a packet: the status line is gathered across
// packets, and the verdict and the bytes taken are those of the answer in one piece.
TEST(ProxyAnswerReader, TheVerdictDoesNotDependOnHowTheAnswerIsCut) {
    struct Case {
        std::string stream;
        ProxyAnswer verdict;
        std::size_t answerLength;  // the bytes that belong to the answer when connected
    };
    const std::string ok = "HTTP/1.1 200 Connection established\r\nVia: t\r\n\r\n";
    const std::vector<Case> cases = {
        {ok + "TUNNEL", ProxyAnswer::kConnected, ok.size()},
        {"http/1.0 200 OK\r\n\r\n", ProxyAnswer::kConnected, 19},
        {"HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", ProxyAnswer::kAuthRejected, 0},
        {"HTTP/1.0 401 Unauthorized\r\n\r\n", ProxyAnswer::kAuthRejected, 0},
        {"HTTP/1.1 403 Forbidden\r\n\r\n", ProxyAnswer::kRefused, 0},
        {"SSH-2.0", ProxyAnswer::kRefused, 0},
        {"HTTP/1.1 2", ProxyAnswer::kClosed, 0},  // a start of 200 waits, then the proxy closed
        {"http/1.0 200 OK\r\nVia: x\r\n", ProxyAnswer::kClosed, 0},
        {"", ProxyAnswer::kClosed, 0},
    };
    for (const Case& c : cases) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{5}, std::size_t{7},
                                  std::size_t{11}, std::size_t{13}, c.stream.size() + 1}) {
            SCOPED_TRACE(c.stream + " in pieces of " + std::to_string(piece));
            ProxyAnswerReader reader;
            std::size_t at = 0, taken = 0;
            ProxyAnswer verdict = ProxyAnswer::kNeedMore;
            while (verdict == ProxyAnswer::kNeedMore) {
                const std::size_t n = std::min(piece, c.stream.size() - at);  // 0: the proxy closed
                std::size_t used = 0;
                verdict = reader.Feed(c.stream.data() + at, n, &used);
                ASSERT_LE(used, n);
                taken += used;
                at += n;
                if (verdict == ProxyAnswer::kNeedMore) {
                    ASSERT_EQ(used, n) << "a waiting reader takes all";
                }
            }
            EXPECT_EQ(verdict, c.verdict);
            if (verdict == ProxyAnswer::kConnected) {
                EXPECT_EQ(taken, c.answerLength);
            }
        }
    }
}

TEST(ProxyAnswerReader, StatusLineSplitAcrossPacketsLeavesTheTunnelBytes) {
    ProxyAnswerReader reader;
    std::size_t used = 0;
    EXPECT_EQ(FeedAll(reader, "HTTP/1.", &used), ProxyAnswer::kNeedMore);
    EXPECT_EQ(used, 7u);
    EXPECT_EQ(FeedAll(reader, "1 40", &used), ProxyAnswer::kNeedMore) << "401 and 407 are still possible";
    ProxyAnswerReader other;
    FeedAll(other, "HTTP/1.", &used);
    EXPECT_EQ(FeedAll(other, "1 200 OK\r\n\r\nTUNNEL", &used), ProxyAnswer::kConnected);
    EXPECT_EQ(used, 12u) << "only the answer's bytes";
    EXPECT_EQ(FeedAll(reader, "7 Proxy Authentication Required\r\n", &used), ProxyAnswer::kAuthRejected);
    EXPECT_EQ(reader.PrintableText(), "HTTP/1.1 407 Proxy Authentication Required\r\n");
}

TEST(ProxyAnswerReader, EndlessHeaderStopsAtTheBound) {
    ProxyAnswerReader reader(4096);
    std::size_t used = 0;
    ASSERT_EQ(FeedAll(reader, "HTTP/1.1 200 OK\r\n", &used), ProxyAnswer::kNeedMore);
    ProxyAnswer verdict = ProxyAnswer::kNeedMore;
    int rounds = 0;
    while (verdict == ProxyAnswer::kNeedMore && rounds < 100) {
        verdict = FeedAll(reader, std::string(1000, 'A'), &used);
        ++rounds;
    }
    EXPECT_EQ(verdict, ProxyAnswer::kOversized);
    EXPECT_LE(rounds, 5);
    EXPECT_LE(reader.PrintableText().size(), ProxyAnswerReader::kFirstPacketMax);
}

TEST(ProxyAnswerReader, CloseBeforeTheBlankLineIsReported) {
    ProxyAnswerReader reader;
    std::size_t used = 0;
    ASSERT_EQ(FeedAll(reader, "HTTP/1.1 200 OK\r\n", &used), ProxyAnswer::kNeedMore);
    EXPECT_EQ(reader.Feed(nullptr, 0, &used), ProxyAnswer::kClosed);
}

TEST(ProxyAnswerReader, PrintableTextHidesControlBytes) {
    ProxyAnswerReader reader;
    std::size_t used = 0;
    std::string garbage("HTTP/1.1 500 \x01\x02\x1b[31m\0x\r\n", 22);
    FeedAll(reader, garbage, &used);
    std::string text = reader.PrintableText();
    for (char c : text) EXPECT_TRUE(static_cast<unsigned char>(c) >= 0x20 || c == '\r' || c == '\n');
}

// Reads the stream in the pieces `cut` gives (0 once the stream is over: the proxy closed) and
// returns the verdict and how many bytes the reader took.
template <typename Cut>
std::pair<ProxyAnswer, std::size_t> ReadCut(const std::string& input, std::size_t headerMax, Cut cut) {
    ProxyAnswerReader reader(headerMax);
    std::size_t at = 0, taken = 0;
    ProxyAnswer verdict = ProxyAnswer::kNeedMore;
    while (verdict == ProxyAnswer::kNeedMore) {
        const std::size_t piece = std::min<std::size_t>(input.size() - at, cut());
        std::size_t used = 0;
        verdict = reader.Feed(input.data() + at, piece, &used);
        EXPECT_LE(used, piece);
        at += piece;
        taken += used;
        if (verdict == ProxyAnswer::kConnected) {
            const std::string header = input.substr(0, taken);
            EXPECT_EQ(header.size(), input.find("\r\n\r\n") + 4) << "up to the first blank line";
            EXPECT_LE(header.size(), headerMax);
        }
    }
    EXPECT_LE(reader.PrintableText().size(), ProxyAnswerReader::kFirstPacketMax);
    return {verdict, taken};
}

// Random, truncated and oversized answers, cut at random: the reader always ends with a verdict
// within its bound, never takes more bytes than it was given, connects only on a real 200 header,
// and comes to the verdict it gives the answer in one piece.
TEST(ProxyAnswerReaderFuzz, RandomTruncatedAndRandomlyCutInput) {
    std::mt19937 rng(20240607);
    const std::string valid = "HTTP/1.1 200 Connection established\r\nProxy-Agent: t\r\n\r\n";
    for (int round = 0; round < 20000; ++round) {
        std::string input;
        switch (round % 4) {
            case 0:  // truncated valid answer
                input = valid.substr(0, rng() % valid.size());
                break;
            case 1: {  // valid answer with random bytes flipped
                input = valid;
                for (int k = 0; k < 3; ++k) input[rng() % input.size()] = static_cast<char>(rng());
                break;
            }
            case 2: {  // random bytes
                input.resize(rng() % 3000);
                for (char& c : input) c = static_cast<char>(rng());
                break;
            }
            default:  // a 200 status line followed by random text
                input = "HTTP/1.0 200 ";
                input.resize(13 + rng() % 12000, 'x');
                for (std::size_t k = 13; k < input.size(); k += 1 + rng() % 50)
                    input[k] = static_cast<char>(rng());
        }
        // Mostly small pieces, where the status line itself is cut, now and then a large one.
        const auto whole = ReadCut(input, 8192, [&] { return input.size() + 1; });
        const auto cut =
            ReadCut(input, 8192, [&] { return rng() % 4 == 0 ? 1 + rng() % 1024 : 1 + rng() % 6; });
        ASSERT_EQ(cut.first, whole.first) << input;
        if (whole.first == ProxyAnswer::kConnected) {
            ASSERT_EQ(cut.second, whole.second);
        }
    }
}

}  // namespace

// The CONNECT request text and the reader of the proxy's answer, without sockets.
#include <gtest/gtest.h>

#include <random>
#include <string>

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

TEST(ProxyAnswerReader, OtherStatusShortFirstPacketAndNonHttpAreRefused) {
    for (const char* answer :
         {"HTTP/1.1 403 Forbidden\r\n\r\n", "HTTP/1.1 2", "SSH-2.0-OpenSSH\r\n", "\x16\x03\x01"}) {
        ProxyAnswerReader reader;
        std::size_t used = 0;
        EXPECT_EQ(FeedAll(reader, answer, &used), ProxyAnswer::kRefused) << answer;
    }
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

// Random, truncated and oversized answers: the reader always ends with a verdict within its bound,
// never reports more bytes used than it was given, and connects only on a real 200 header.
TEST(ProxyAnswerReaderFuzz, RandomAndTruncatedInput) {
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
        ProxyAnswerReader reader(8192);
        std::size_t at = 0;
        ProxyAnswer verdict = ProxyAnswer::kNeedMore;
        while (verdict == ProxyAnswer::kNeedMore) {
            std::size_t piece = std::min<std::size_t>(input.size() - at, 1 + rng() % 1024);
            std::size_t used = 0;
            verdict = reader.Feed(input.data() + at, piece, &used);
            ASSERT_LE(used, piece);
            at += piece;
            if (verdict == ProxyAnswer::kConnected) {
                std::string header = input.substr(0, at - piece + used);
                ASSERT_EQ(header.substr(header.size() - 4), "\r\n\r\n");
                ASSERT_LE(header.size(), 8192u);
            }
        }
        ASSERT_LE(at, input.size() + 1);
        ASSERT_LE(reader.PrintableText().size(), ProxyAnswerReader::kFirstPacketMax);
    }
}

}  // namespace

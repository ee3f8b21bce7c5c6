// The response-head parser of the file fetch: what it takes, what it refuses, and that cut or
// random input never gets past it as a complete head.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "response_head.h"

using update_fetch::HeadVerdict;
using update_fetch::ParseResponseHead;
using update_fetch::ResponseHead;

namespace {

HeadVerdict Parse(const std::string& text, ResponseHead* head,
                  std::size_t max = update_fetch::kResponseHeadMax) {
    std::string why;
    return ParseResponseHead(text, max, head, &why);
}

TEST(ResponseHead, TakesStatusLengthAndTheHeadsEndWhateverTheNamesCase) {
    for (const char* name :
         {"Content-Length", "Content-length", "content-length", "CONTENT-LENGTH", "cOnTeNt-LeNgTh"}) {
        ResponseHead head;
        const std::string text =
            std::string("HTTP/1.1 200 OK\r\nServer: x\r\n") + name + ":  1234 \r\n\r\nbody";
        ASSERT_EQ(Parse(text, &head), HeadVerdict::kComplete) << name;
        EXPECT_EQ(head.status, 200);
        EXPECT_TRUE(head.hasLength);
        EXPECT_EQ(head.contentLength, 1234u);
        EXPECT_EQ(head.headLength, text.size() - 4);
    }
    ResponseHead head;
    ASSERT_EQ(Parse("HTTP/1.0 404\r\n\r\n", &head), HeadVerdict::kComplete);
    EXPECT_EQ(head.status, 404);
    EXPECT_FALSE(head.hasLength);
    ASSERT_EQ(Parse("HTTP/1.1 200 OK\r\nContent-Length: 5\r\ncontent-length: 5\r\n\r\n", &head),
              HeadVerdict::kComplete)
        << "repeated lines that agree";
    EXPECT_EQ(head.contentLength, 5u);
}

TEST(ResponseHead, RefusesWhatCouldMisleadTheBodysLength) {
    for (const char* text : {
             "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n",  // disagreeing lengths
             "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n",
             "HTTP/1.1 200 OK\r\nContent-Length: 5 5\r\n\r\n",
             "HTTP/1.1 200 OK\r\nContent-Length: 0x10\r\n\r\n",
             "HTTP/1.1 200 OK\r\nContent-Length:\r\n\r\n",
             "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n",
             "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
             "HTTP/1.1 200 OK\r\ntransfer-encoding: gzip\r\nContent-Length: 5\r\n\r\n",
             "HTTP/1.1 200 OK\r\n Content-Length: 5\r\n\r\n",       // folded
             "HTTP/1.1 200 OK\r\nContent-Length : 5\r\n\r\n",       // space before the colon
             "HTTP/1.1 200 OK\r\nContent-Length: 5\nX: y\r\n\r\n",  // bare LF
             "HTTP/1.1 200 OK\r\nX: a\rb\r\n\r\n",                  // bare CR
             "HTTP/1.1 200 OK\r\nno colon here\r\n\r\n",
             "HTTP/1.1 200 OK\r\n: empty name\r\n\r\n",
             "HTTP/2 200\r\n\r\n",
             "HTTP/1.1 20 OK\r\n\r\n",
             "HTTP/1.1 2000 OK\r\n\r\n",
             "HTTP/1.1 099 OK\r\n\r\n",
             "http/1.1 200 OK\r\n\r\n",
             "ICY 200 OK\r\n\r\n",
             "\r\n\r\n",
         }) {
        ResponseHead head;
        std::string why;
        EXPECT_EQ(ParseResponseHead(text, update_fetch::kResponseHeadMax, &head, &why),
                  HeadVerdict::kMalformed)
            << text;
        EXPECT_FALSE(why.empty());
    }
    ResponseHead head;
    const std::string withNul("HTTP/1.1 200 OK\r\nX: a\0b\r\n\r\n", 27);
    EXPECT_EQ(Parse(withNul, &head), HeadVerdict::kMalformed);
}

TEST(ResponseHead, WaitsForTheBlankLineWithinItsBound) {
    const std::string text = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nServer: nginx\r\n\r\n";
    for (std::size_t cut = 0; cut < text.size(); ++cut) {
        ResponseHead head;
        EXPECT_EQ(Parse(text.substr(0, cut), &head), HeadVerdict::kNeedMore) << "cut at " << cut;
    }
    ResponseHead head;
    EXPECT_EQ(Parse("SSH-2.0", &head), HeadVerdict::kMalformed) << "not HTTP is seen at once";
    std::string endless = "HTTP/1.1 200 OK\r\n";
    while (endless.size() < 300) endless += "X-Filler: ffffffffff\r\n";
    EXPECT_EQ(Parse(endless, &head, 256), HeadVerdict::kOversized);
    EXPECT_EQ(Parse(endless + "\r\n", &head, 256), HeadVerdict::kOversized) << "the blank line came too late";
    EXPECT_EQ(Parse(endless + "\r\n", &head, 4096), HeadVerdict::kComplete);
}

// Random and mutated heads: no crash, and a complete verdict always describes the input.
TEST(ResponseHead, RandomAndMutatedInputStaysConsistent) {
    std::mt19937 rng(17);
    const std::string valid = "HTTP/1.1 200 OK\r\nContent-Length: 12\r\nX-A: b\r\n\r\n0123456789ab";
    const char kAlphabet[] = "HTP/1.0 2\r\n:-Content-Lgthcl9 \t\0x";
    const std::string alphabet(kAlphabet, sizeof(kAlphabet) - 1);
    for (int round = 0; round < 20000; ++round) {
        std::string input;
        switch (round % 3) {
            case 0: input = valid.substr(0, rng() % (valid.size() + 1)); break;
            case 1:
                input = valid;
                for (int k = 0; k < 3; ++k) input[rng() % input.size()] = alphabet[rng() % alphabet.size()];
                break;
            default:
                input.resize(rng() % 80);
                for (char& c : input) c = alphabet[rng() % alphabet.size()];
                if (round % 2) input = "HTTP/1.1 200 OK\r\n" + input;
        }
        ResponseHead head;
        const HeadVerdict v = Parse(input, &head, 64);
        if (v == HeadVerdict::kComplete) {
            ASSERT_LE(head.headLength, input.size());
            ASSERT_LE(head.headLength, 64u);
            ASSERT_EQ(input.compare(head.headLength - 4, 4, "\r\n\r\n"), 0);
            ASSERT_GE(head.status, 100);
            ASSERT_LE(head.status, 999);
        }
    }
}

}  // namespace

// The head of the one HTTP response the file fetch reads: status line, header lines and the body
// length, judged from the bytes received so far. Free of I/O; every call is pure.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace update_fetch {

struct ResponseHead {
    int status = 0;              // the three digits of the status line
    std::size_t headLength = 0;  // bytes up to and including the blank line
    bool hasLength = false;      // a Content-Length line was present
    std::uint64_t contentLength = 0;
};

enum class HeadVerdict {
    kNeedMore,   // no blank line yet, and nothing wrong so far
    kComplete,   // *head is filled in
    kMalformed,  // not an HTTP/1.0 or 1.1 answer we can take; *error says why
    kOversized,  // no blank line within the bound
};

constexpr std::size_t kResponseHeadMax = 16384;

// Looks at the first bytes of a response. The head must end within headMax bytes. The body's
// length comes from Content-Length, whatever the case of the name; repeated lines must agree. A
// chunked or otherwise encoded body is refused: the request is HTTP/1.0, so the server may only
// send the body as it is. Header names are tokens; folded lines, bare CR or LF and NUL inside the
// head are refused. *error (may be null) gets a short reason for kMalformed and kOversized.
HeadVerdict ParseResponseHead(std::string_view received, std::size_t headMax, ResponseHead* head,
                              std::string* error);

}  // namespace update_fetch

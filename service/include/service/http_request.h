// The control server's request reader: a request line, headers and an optional body, bounded
// (head 8 KiB, body 64 KiB). Query parameters are taken as they stand: no percent-decoding.
// Pure: bytes in, a request or a verdict out.
#pragma once
#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace service {

constexpr std::size_t kMaxHttpHead = 8 * 1024;
constexpr std::size_t kMaxHttpBody = 64 * 1024;

struct HttpRequest {
    std::string method, url, version;
    std::string path, query;
    std::map<std::string, std::string> headers;     // names as sent; the first of a name wins
    std::map<std::string, std::string> parameters;  // from the query
    std::string body;
    std::size_t consumed = 0;  // head and body bytes the request took

    // Parameter value, null when absent.
    const std::string* Parameter(const std::string& name) const;
};

enum class HttpParse { kIncomplete, kComplete, kMalformed };

// Reads one request from the front of `bytes`. kIncomplete: more must arrive (never beyond the
// limits); kMalformed with a reason in *error: the connection is to be dropped.
HttpParse ParseHttpRequest(std::string_view bytes, HttpRequest* request, std::string* error);

}  // namespace service

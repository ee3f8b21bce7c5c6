// The control server's bounded request reader.
#include "service/http_request.h"

#include <strings.h>

#include <vector>

namespace service {
namespace {

std::vector<std::string_view> Split(std::string_view text, std::string_view by) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(by, start);
        if (at == std::string_view::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, at - start));
        start = at + by.size();
    }
}

bool ParseRequestLine(std::string_view line, HttpRequest* r) {
    std::vector<std::string_view> words;
    for (const auto w : Split(line, " ")) {
        if (!w.empty()) words.push_back(w);
    }
    if (words.size() != 3) return false;
    r->method = words[0];
    r->url = words[1];
    r->version = words[2];
    const std::size_t q = r->url.find('?');
    r->path = r->url.substr(0, q);
    r->query = q == std::string::npos ? std::string() : r->url.substr(q + 1);
    for (const auto item : Split(r->query, "&")) {
        if (item.empty()) continue;
        const auto fields = Split(item, "=");
        const std::string value = fields.size() > 1 ? std::string(fields[1]) : std::string();
        r->parameters.emplace(std::string(fields[0]), value);
    }
    return true;
}

bool ParseContentLength(const HttpRequest& r, std::size_t* length, std::string* error) {
    *length = 0;
    bool seen = false;
    for (const auto& [name, value] : r.headers) {
        if (strcasecmp(name.c_str(), "Content-Length") != 0) continue;
        if (seen) return *error = "more than one Content-Length", false;
        seen = true;
        std::string_view v = value;
        while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
        if (v.empty() || v.size() > 6) return *error = "bad Content-Length", false;
        std::size_t n = 0;
        for (const char c : v) {
            if (c < '0' || c > '9') return *error = "bad Content-Length", false;
            n = n * 10 + static_cast<std::size_t>(c - '0');
        }
        if (n > kMaxHttpBody) return *error = "body larger than 64 KiB", false;
        *length = n;
    }
    return true;
}

}  // namespace

const std::string* HttpRequest::Parameter(const std::string& name) const {
    const auto it = parameters.find(name);
    return it == parameters.end() ? nullptr : &it->second;
}

HttpParse ParseHttpRequest(std::string_view bytes, HttpRequest* request, std::string* error) {
    *request = HttpRequest{};
    const std::size_t end = bytes.find("\r\n\r\n");
    if (end == std::string_view::npos) {
        if (bytes.size() >= kMaxHttpHead) return *error = "head larger than 8 KiB", HttpParse::kMalformed;
        return HttpParse::kIncomplete;
    }
    const std::size_t headLength = end + 4;
    if (headLength > kMaxHttpHead) return *error = "head larger than 8 KiB", HttpParse::kMalformed;
    const std::string_view head = bytes.substr(0, end);
    if (head.find('\0') != std::string_view::npos) return *error = "NUL in the head", HttpParse::kMalformed;
    const auto lines = Split(head, "\r\n");
    if (!ParseRequestLine(lines[0], request)) return *error = "bad request line", HttpParse::kMalformed;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::size_t colon = lines[i].find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view value = lines[i].substr(colon + 1);
        while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
        request->headers.emplace(std::string(lines[i].substr(0, colon)), std::string(value));
    }
    std::size_t bodyLength = 0;
    if (!ParseContentLength(*request, &bodyLength, error)) return HttpParse::kMalformed;
    if (bytes.size() < headLength + bodyLength) return HttpParse::kIncomplete;
    request->body = std::string(bytes.substr(headLength, bodyLength));
    request->consumed = headLength + bodyLength;
    return HttpParse::kComplete;
}

}  // namespace service

#include "httpserver/HTTPMessage.h"

#include <fmt/format.h>

namespace vtr {

namespace {

bool isTokenChar(unsigned char c) {
    if (c >= '0' && c <= '9') return true;
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
    switch (c) {
        case '!':
        case '#':
        case '$':
        case '%':
        case '&':
        case '\'':
        case '*':
        case '+':
        case '-':
        case '.':
        case '^':
        case '_':
        case '`':
        case '|':
        case '~':
            return true;
        default:
            return false;
    }
}

bool isToken(std::string_view s) {
    if (s.empty()) return false;
    for (unsigned char c : s)
        if (!isTokenChar(c)) return false;
    return true;
}

bool isDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// "HTTP/" followed by a major number and an optional ".minor"; the server answers 505 for
// versions it does not speak, so any well-formed one is accepted here.
bool isVersion(std::string_view s) {
    if (s.substr(0, 5) != "HTTP/") return false;
    s.remove_prefix(5);
    size_t dot = s.find('.');
    if (dot == std::string_view::npos) return isDigits(s);
    return isDigits(s.substr(0, dot)) && isDigits(s.substr(dot + 1));
}

// Visible characters and obs-text; control characters (CR, LF, NUL...) never belong in a target.
bool isTarget(std::string_view s) {
    if (s.empty()) return false;
    for (unsigned char c : s)
        if (c <= 0x20 || c == 0x7F) return false;
    return true;
}

bool isFieldValue(std::string_view s) {
    for (unsigned char c : s)
        if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
    return true;
}

std::string_view trimWhitespace(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

bool HTTPEqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x += 32;
        if (y >= 'A' && y <= 'Z') y += 32;
        if (x != y) return false;
    }
    return true;
}

HTTPMessage::HTTPMessage(int statusCode, std::string_view reason, std::string version)
    : version_(std::move(version)),
      statusCode_(statusCode),
      reason_(reason.empty() ? reasonPhrase(statusCode) : reason) {}

bool HTTPMessage::appendHeaderLine(std::string_view line) {
    if (headerComplete_) return false;
    if (!sawRequestLine_) {
        // Robust servers skip empty lines before a request line (left over after a body).
        if (line.empty()) return true;
        size_t first = line.find(' ');
        if (first == std::string_view::npos) return false;
        size_t second = line.find(' ', first + 1);
        if (second == std::string_view::npos) return false;
        std::string_view method = line.substr(0, first);
        std::string_view target = line.substr(first + 1, second - first - 1);
        std::string_view version = line.substr(second + 1);
        if (!isToken(method) || !isTarget(target) || !isVersion(version)) return false;
        method_ = method;
        url_ = target;
        version_ = version;
        sawRequestLine_ = true;
        return true;
    }
    if (line.empty()) {
        headerComplete_ = true;
        return true;
    }
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    std::string_view name = line.substr(0, colon);
    std::string_view value = trimWhitespace(line.substr(colon + 1));
    if (!isToken(name) || !isFieldValue(value)) return false;
    for (auto& [existingName, existingValue] : headers_) {
        if (HTTPEqualsIgnoringCase(existingName, name)) {
            existingValue.append(", ");
            existingValue.append(value);
            return true;
        }
    }
    headers_.emplace_back(std::string(name), std::string(value));
    return true;
}

std::optional<std::string> HTTPMessage::headerField(std::string_view name) const {
    for (const auto& [fieldName, value] : headers_)
        if (HTTPEqualsIgnoringCase(fieldName, name)) return value;
    return std::nullopt;
}

void HTTPMessage::setHeaderField(std::string_view name, std::string value) {
    for (auto& [fieldName, existing] : headers_) {
        if (HTTPEqualsIgnoringCase(fieldName, name)) {
            existing = std::move(value);
            return;
        }
    }
    headers_.emplace_back(std::string(name), std::move(value));
}

std::string HTTPMessage::messageData() const {
    std::string out;
    out.reserve(128 + headers_.size() * 48);
    fmt::format_to(std::back_inserter(out), "{} {} {}\r\n", version_, statusCode_, reason_);
    for (const auto& [name, value] : headers_) {
        out.append(name);
        out.append(": ");
        out.append(value);
        out.append("\r\n");
    }
    out.append("\r\n");
    return out;
}

std::string_view HTTPMessage::reasonPhrase(int statusCode) {
    switch (statusCode) {
        case 100:
            return "Continue";
        case 101:
            return "Switching Protocols";
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 202:
            return "Accepted";
        case 203:
            return "Non-Authoritative Information";
        case 204:
            return "No Content";
        case 205:
            return "Reset Content";
        case 206:
            return "Partial Content";
        case 300:
            return "Multiple Choices";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 303:
            return "See Other";
        case 304:
            return "Not Modified";
        case 307:
            return "Temporary Redirect";
        case 308:
            return "Permanent Redirect";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 402:
            return "Payment Required";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 406:
            return "Not Acceptable";
        case 407:
            return "Proxy Authentication Required";
        case 408:
            return "Request Timeout";
        case 409:
            return "Conflict";
        case 410:
            return "Gone";
        case 411:
            return "Length Required";
        case 412:
            return "Precondition Failed";
        case 413:
            return "Payload Too Large";
        case 414:
            return "URI Too Long";
        case 415:
            return "Unsupported Media Type";
        case 416:
            return "Range Not Satisfiable";
        case 417:
            return "Expectation Failed";
        case 422:
            return "Unprocessable Entity";
        case 426:
            return "Upgrade Required";
        case 428:
            return "Precondition Required";
        case 429:
            return "Too Many Requests";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        case 504:
            return "Gateway Timeout";
        case 505:
            return "HTTP Version Not Supported";
        default:
            return "Unknown";
    }
}

}  // namespace vtr

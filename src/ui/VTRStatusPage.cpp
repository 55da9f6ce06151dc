#include "ui/VTRStatusPage.h"

#include <string>

#include "httpserver/HTTPDataResponse.h"
#include "httpserver/HTTPErrorResponse.h"

namespace vtr {

namespace {

std::string contentTypeForFile(std::string_view name) {
    if (name.ends_with(".html")) return "text/html; charset=utf-8";
    if (name.ends_with(".js")) return "text/javascript; charset=utf-8";
    if (name.ends_with(".css")) return "text/css; charset=utf-8";
    return "application/octet-stream";
}

}  // namespace

std::unique_ptr<HTTPResponse> VTRStatusPage::responseForFile(std::string_view name) {
    for (size_t i = 0; i < kVTRStatusPageFileCount; ++i) {
        const VTRStatusPageFile& file = kVTRStatusPageFiles[i];
        if (file.name != name) continue;
        // Only the page's own files run and load; no page may frame it (clickjacking), the
        // browser must not guess another type, and the address leaks to nobody.
        HTTPHeaderList headers{
            {"Content-Type", contentTypeForFile(name)},
            {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"},
            {"X-Content-Type-Options", "nosniff"},
            {"Referrer-Policy", "no-referrer"},
            {"Cache-Control", "no-cache"}};
        return std::make_unique<HTTPDataResponse>(std::string(file.contents), 200,
                                                  std::move(headers));
    }
    return std::make_unique<HTTPErrorResponse>(404);
}

}  // namespace vtr

// VTRStatusPage: the status page a person opens in a browser (/ui) and its script and style,
// compiled into the binary from src/ui at build time. Each file is answered with headers that
// keep other sites from framing the page or running anything but its own script in it.
// Stateless: any thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "httpserver/HTTPResponse.h"

namespace vtr {

// One file as the build embedded it (VTRStatusPageFiles.cpp, generated).
struct VTRStatusPageFile {
    std::string_view name;  // as in src/ui, e.g. "app.js"
    std::string_view contents;
};
extern const VTRStatusPageFile kVTRStatusPageFiles[];
extern const size_t kVTRStatusPageFileCount;

class VTRStatusPage {
  public:
    // A 200 reply carrying the embedded file `name` ("index.html", "app.js" or "app.css").
    // A name the build did not embed is a 404.
    static std::unique_ptr<HTTPResponse> responseForFile(std::string_view name);
};

}  // namespace vtr

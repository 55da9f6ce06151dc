// The log form of what a client sends: a posted job or a body that did not parse, without the
// credentials it carries, and foreign text escaped so that it cannot forge log lines. The log
// files and the system log are readable by more people than the job database.
// Pure functions: any thread.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace vtr {

// The posted job as one JSON line, its "credentials" member masked.
std::string describePostedJob(const nlohmann::json& posted);

// A body that is not a job: every "credentials" value masked, read leniently so that text
// that is not JSON (cut short, an unterminated string, a bare word) is masked as well; then
// made printable.
std::string describeUnparsedBody(std::string_view body);

// Printable ASCII as is, everything else escaped, cut short when long.
std::string printableASCII(std::string_view text);

// A JSON parser's message without the piece of input it quotes ("last read: '...'"), which
// may be a piece of the credentials.
std::string parserMessageWithoutInput(std::string message);

}  // namespace vtr

// Text from outside (job fields, paths, server answers) made safe to show in a log line or on a
// terminal, and URLs made safe to log. Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace vtr {

// `text` with every control character escaped, so that it cannot start a line of its own, move
// a terminal's cursor or set its title: "\n", "\r" and "\t" as those two characters, the other
// C0 controls, DEL, the C1 controls and bytes that are not UTF-8 as "\xNN" (one per byte).
// Valid UTF-8 stays as it is. A backslash is left alone, so text escaped once is unchanged by
// a second pass.
std::string printableText(std::string_view text);

// The length of the well-formed UTF-8 sequence of two or more bytes at the start of `text`, or
// 0 when there is none. Overlong forms, surrogates and code points above U+10FFFF do not count.
size_t multiByteSequenceLength(std::string_view text);

// `text` with the user-info part ("user:password@") removed from every "scheme://" URL in it.
std::string withoutURLUserInfo(std::string_view text);

}  // namespace vtr

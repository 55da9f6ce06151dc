// String utilities shared by the SOAP client, the upload engine and the null tests: slash
// trimming, blank tests, server-number parsing, Base64 decoding, query splitting, URL escaping,
// UUIDs and home-relative paths. Pure functions; any thread may call them at any time.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/VTRDecimal.h"
#include "foundation/VTRValue.h"

namespace vtr {

// The text with every "/" removed from both ends; inner slashes stay.
std::string trimSlash(std::string_view text);

// The text without white space and line breaks (ASCII and Unicode) at both ends.
std::string_view trimWhitespaceAndNewlines(std::string_view text);
// True when nothing but white space and line breaks is left after trimming.
bool isEmpty(std::string_view text);

// The number a server wrote as text, read exactly and the same way whatever the process's
// locale: "1048576", "-2.5", "1,048,576". Nothing when the text is not a number.
std::optional<VTRDecimal> numberFromServerString(std::string_view text);
// The same for a dynamic value: nothing when it is absent (nullptr), null or not a string.
std::optional<VTRDecimal> numberFromServerString(const VTRValue* value);

// The bytes of Base64 text; characters outside the alphabet are skipped. Nothing when what is
// left is not whole, correctly padded Base64.
std::optional<VTRBytes> base64DecodedData(std::string_view text);

// "a=1&b=2" as {a: 1, b: 2}. Pieces that do not split into exactly two parts at "=" are
// skipped; a later key replaces an earlier one. No percent-decoding.
std::map<std::string, std::string> queryParameters(std::string_view text);

// Percent-escapes every byte except letters, digits and "-_.!~*'()", so the result can stand
// as any URL component.
std::string urlEncode(std::string_view text);

// A new random (version 4) UUID, 36 characters, upper case, hyphenated.
std::string stringWithUUID();

// The user's home directory: $HOME, else the password database's entry.
std::string homeDirectory();
// The path with "~", ".", ".." and doubled or trailing slashes resolved (textually).
std::string standardizedPath(std::string_view path);
// True when the standardised path is the home directory or lies inside it.
bool isUnderHomeDirectory(std::string_view path);
// The standardised path without the home directory and the slash after it ("" for home
// itself); nothing for a path outside the home directory.
std::optional<std::string> pathRelativeToHome(std::string_view path);

}  // namespace vtr

#pragma once
// The text forms an alert travels in: a value inside a JSON string or an address's query,
// Base64 and the encoded words of a mail header, and an address's user info.

#include <string>
#include <string_view>
#include <vector>

namespace vellicor::alert {

// Every byte but the unreserved ones (letters, digits, "-._~") as %XX.
std::string percentEncode(std::string_view text);
// The inside of a JSON string: '"', '\' and control bytes escaped, the rest (UTF-8) as it is.
std::string jsonEscape(std::string_view text);
std::string base64(std::string_view bytes);

// A header value as the mail carries it: ASCII without control bytes as it is; anything else
// as UTF-8 encoded words ("=?UTF-8?B?...?="), each whole characters and within a header
// line's length, joined by a folding line break.
std::string encodedWords(std::string_view utf8);

// The address's user info ("user:password" before the host's '@'), empty for none: a secret.
std::string userInfo(std::string_view url);

// Whether the address's host is this computer itself (localhost, 127.x.x.x, [::1]): the one
// place a password may go without TLS.
bool toThisComputer(std::string_view url);
using HostRule = bool (*)(std::string_view url);

}  // namespace vellicor::alert

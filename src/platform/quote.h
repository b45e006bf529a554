#pragma once
// Bad input quoted in a message: a file or argument that is not what it should be may hold
// anything, and its bytes must not reach the terminal as they stand (an escape sequence
// would act on it, a stray byte would garble the line).

#include <cstddef>
#include <string>
#include <string_view>

namespace vellicor {

// How many of the leading bytes are well-formed UTF-8 (no overlong forms, surrogates or
// values past U+10FFFF): the offset of the first malformed byte, or the size.
std::size_t utf8Prefix(std::string_view bytes);
inline bool isUtf8(std::string_view bytes) {
    return utf8Prefix(bytes) == bytes.size();
}

// The text as any file it is written to can hold it (an SVG's XML, a CSV, the log file):
// every malformed byte (a lone surrogate's too), U+FFFE, U+FFFF and the C0 control characters
// but tab, line feed and carriage return become U+FFFD; the rest is kept.
std::string fileText(std::string_view text);

// The bytes in double quotes, at most `maxBytes` of them: printable ASCII and well-formed
// UTF-8 characters as they are, control characters (C1 included), '"', '\' and every byte
// of a malformed sequence as \xNN. A longer text is cut at a character's end and "…"
// follows the closing quote.
std::string quoteBytes(std::string_view bytes, std::size_t maxBytes = 80);

}  // namespace vellicor

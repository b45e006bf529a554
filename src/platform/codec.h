#pragma once
// The program keeps every text as UTF-8; the portal speaks GBK. These are the only place
// where bytes cross between the two.
//
// Replies are searched for marker texts only after decoding. A byte search in the raw GBK
// would be wrong: a GBK character is a lead byte and a trail byte, and trail bytes overlap
// the lead range, so the bytes of a marker can appear starting on the trail byte of the
// character before it (a false match). gbkContains() does the search the safe way.

#include <string>
#include <string_view>

#include "platform/result.h"

namespace vellicor {

// Decodes GBK/GB18030 bytes (0x80 is the euro sign, four-byte sequences are understood).
// Never fails: a byte that starts no valid sequence, or a lead byte cut off at the end,
// becomes U+FFFD and decoding resumes at the next byte, so an ASCII byte after it survives.
std::string gbkToUtf8(std::string_view gbk);

// Encodes UTF-8 as GBK; a character GBK lacks, or invalid UTF-8, is an error.
Result<std::string> utf8ToGbk(std::string_view utf8);

// Whether the GBK text holds the (UTF-8) marker, compared on whole characters.
bool gbkContains(std::string_view gbk, std::string_view utf8Marker);

}  // namespace vellicor

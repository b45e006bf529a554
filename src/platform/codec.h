#pragma once
// The program keeps every text as UTF-8; the portal speaks GBK. These two are the only
// place where bytes cross between the two.

#include <string>
#include <string_view>

#include "platform/result.h"

namespace vellicor {

// Decodes GBK/GB18030 bytes. Never fails: a byte that starts no valid sequence becomes
// U+FFFD and decoding resumes at the next byte, so an ASCII byte after it survives.
std::string gbkToUtf8(std::string_view gbk);

// Encodes UTF-8 as GBK; a character GBK lacks, or invalid UTF-8, is an error.
Result<std::string> utf8ToGbk(std::string_view utf8);

}  // namespace vellicor

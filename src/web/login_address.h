#pragma once
// The two login page addresses the panes open, and the return page the login service sends
// a pane to once it accepts a login. The addresses are composed here once, byte for byte:
// the panes must open them as they stand, with no further encoding of their own.

#include <string>
#include <string_view>

#include "platform/config.h"

namespace vellicor::web {

// Letters, digits and "." stay; every other byte becomes "%XX" with upper-case digits.
std::string encodeOnce(std::string_view text);
// Undoes one layer of "%XX" ("+" is left alone). A "%" not followed by two hex digits stays.
std::string decodeOnce(std::string_view text);

// The mall's classify page, where an accepted login ends.
std::string returnPageAddress(const Config& config);
// The login service's style sheet on the image host.
std::string loginStyleAddress(const Config& config);

std::string quickLoginAddress(const Config& config);
std::string accountLoginAddress(const Config& config);

// True when the address is the return page. The whole address is compared, not its start,
// so a look-alike that only begins like it does not count; scheme and host compare without
// regard to case, a default port equals no port, and a trailing "#fragment" is ignored,
// since a browser may report any of these forms for the page it reached.
bool isReturnPage(const Config& config, std::string_view address);
// The same comparison for any two addresses.
bool sameAddress(std::string_view a, std::string_view b);

}  // namespace vellicor::web

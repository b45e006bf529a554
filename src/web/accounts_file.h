#pragma once
// The accounts file of the headless front end: one account a line, its name, a tab, its
// cookie string, and optionally a tab and its HTTP proxy. Blank lines and lines starting
// with '#' are skipped. It is read as strictly as the configuration: UTF-8 text, and each
// fault names its line. No message quotes a cookie.

#include <string>
#include <vector>

#include "platform/result.h"
#include "web/accounts.h"

namespace vellicor::web {

Result<std::vector<Account>> parseAccountsFile(const std::string& bytes);
Result<std::vector<Account>> loadAccountsFile(const std::string& path);

}  // namespace vellicor::web

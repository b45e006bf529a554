#include "web/accounts_file.h"

#include <algorithm>
#include <map>
#include <string_view>

#include "platform/bounded_file.h"
#include "platform/quote.h"
#include "web/proxy_setting.h"
#include "web/text_util.h"

namespace vellicor::web {
namespace {

using detail::trimBlanks;

std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    for (auto tab = line.find('\t'); tab != std::string_view::npos; tab = line.find('\t', start)) {
        out.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
    out.push_back(line.substr(start));
    return out;
}

Error lineError(int line, const std::string& why) {
    return makeError(ErrorCode::Parse, "帐号文件第 " + std::to_string(line) + " 行：" + why);
}

// The text without its byte order mark; a file that is not UTF-8 is refused before a line of
// it is read, naming the first line that is not.
Result<std::string_view> utf8Text(const std::string& bytes) {
    constexpr std::string_view kBom = "\xEF\xBB\xBF";
    std::string_view text = bytes;
    if (text.starts_with(kBom)) {
        text.remove_prefix(kBom.size());
    }
    if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF") ||
        text.find('\0') != std::string_view::npos) {
        return makeError(ErrorCode::Parse, "帐号文件不是 UTF-8 文本（UTF-16，或根本不是文本）");
    }
    if (const auto bad = utf8Prefix(text); bad < text.size()) {
        const auto line = 1 + std::count(text.begin(), text.begin() + static_cast<long>(bad), '\n');
        return lineError(static_cast<int>(line), "不是 UTF-8 文本");
    }
    return text;
}

// A cookie string ("uin=o1; skey=…") or a proxy with its password, written where the name goes.
bool looksSecret(const std::string& name) {
    if (name.find('=') != std::string::npos) {
        return true;
    }
    const auto proxy = parseProxy(name);
    return proxy.ok() && proxy->hasCredentials;
}

// Where each name and account number was first seen, for the lines that repeat one.
struct Seen {
    std::map<std::string, int> names;
    std::map<std::string, int> numbers;
};

Result<Account> parseLine(std::string_view text, int line, Seen& seen) {
    const auto parts = fields(text);
    if (parts.size() < 2 || parts.size() > 3) {
        return lineError(line, "应为 名称<TAB>cookie 字符串[<TAB>代理]，以制表符分隔");
    }
    Account a;
    a.name = std::string(trimBlanks(parts[0]));
    a.cookies = std::string(trimBlanks(parts[1]));
    a.proxy = parts.size() == 3 ? std::string(trimBlanks(parts[2])) : std::string{};
    if (a.name.empty()) {
        return lineError(line, "缺少帐号名称");
    }
    if (hasControlCharacter(a.name)) {
        return lineError(line, "帐号名称含有控制字符");
    }
    if (looksSecret(a.name)) {
        // Not quoted: the name is shown everywhere, and this one is a column out of place.
        return lineError(line,
                         "帐号名称像是 cookie 字符串或带密码的代理：应为 名称<TAB>cookie "
                         "字符串[<TAB>代理]，请检查各列的顺序");
    }
    const std::string who = "帐号 " + quoteBytes(a.name);
    if (a.cookies.empty()) {
        return lineError(line, who + " 没有 cookie 字符串");
    }
    if (hasControlCharacter(a.cookies) || hasControlCharacter(a.proxy)) {
        return lineError(line, who + " 的 cookie 或代理含有控制字符");
    }
    if (!a.proxy.empty()) {
        if (auto proxy = parseProxy(a.proxy); !proxy) {
            // Not quoted: a proxy holds a password, and a column put in the wrong place a cookie.
            return lineError(line, who + " 的代理无效：应为 [user:password@]host:port");
        }
    }
    if (auto [at, added] = seen.names.emplace(a.name, line); !added) {
        return lineError(line, "帐号名称 " + quoteBytes(a.name) + " 与第 " +
                                   std::to_string(at->second) + " 行重复");
    }
    a.number = accountNumber(a.cookies);
    if (!a.number.empty()) {
        if (auto [at, added] = seen.numbers.emplace(a.number, line); !added) {
            return lineError(line, who + " 与第 " + std::to_string(at->second) +
                                       " 行是同一个帐号（uin " + a.number + "）");
        }
    }
    return a;
}

}  // namespace

Result<std::vector<Account>> parseAccountsFile(const std::string& bytes) {
    auto text = utf8Text(bytes);
    if (!text) {
        return text.error();
    }
    std::vector<Account> accounts;
    Seen seen;
    std::size_t start = 0;
    for (int line = 1; start < text->size(); ++line) {
        auto end = text->find('\n', start);
        if (end == std::string_view::npos) {
            end = text->size();
        }
        std::string_view row = text->substr(start, end - start);
        start = end + 1;
        if (row.ends_with('\r')) {
            row.remove_suffix(1);
        }
        if (trimBlanks(row).empty() || trimBlanks(row).starts_with('#')) {
            continue;
        }
        auto account = parseLine(row, line, seen);
        if (!account) {
            return account.error();
        }
        accounts.push_back(std::move(account).value());
    }
    if (accounts.empty()) {
        return makeError(ErrorCode::Parse, "帐号文件中没有帐号");
    }
    return accounts;
}

Result<std::vector<Account>> loadAccountsFile(const std::string& path) {
    auto text = readBoundedFile(path);
    if (!text && text.error().code == ErrorCode::TooLarge) {
        return makeError(ErrorCode::TooLarge,
                         "帐号文件 " + quoteBytes(path) + " 超过 1 MiB，已拒绝");
    }
    if (!text) {
        return makeError(ErrorCode::Io, "无法读取帐号文件 " + quoteBytes(path));
    }
    return parseAccountsFile(text.value());
}

}  // namespace vellicor::web

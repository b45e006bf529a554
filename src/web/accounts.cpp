#include "web/accounts.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/quote.h"
#include "web/kept_session.h"
#include "web/proxy_setting.h"
#include "web/text_util.h"

namespace vellicor::web {
namespace {

namespace fs = std::filesystem;
using detail::splitOn;
using detail::trimBlanks;

bool isNumber(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

std::string readWhole(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The old place of the single remembered session.
std::string singleSessionPath(const std::string& dataFolder) {
    return dataFolder + "/session";
}

// A file name an account may have: its number, nothing a write leaves beside it.
bool isAccountFile(const fs::directory_entry& entry) {
    return entry.is_regular_file() && isNumber(entry.path().filename().string());
}

}  // namespace

bool hasControlCharacter(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool c1 = byte == 0xC2 && i + 1 < text.size() &&
                        static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (byte < 0x20 || byte == 0x7F || c1) {
            return true;
        }
    }
    return false;
}

std::string accountNumber(std::string_view cookies) {
    for (auto piece : splitOn(cookies, ";")) {
        const auto pair = trimBlanks(piece);
        const auto eq = pair.find('=');
        if (eq == std::string_view::npos || trimBlanks(pair.substr(0, eq)) != "uin") {
            continue;
        }
        auto value = trimBlanks(pair.substr(eq + 1));
        if (value.starts_with('o') || value.starts_with('O')) {
            value.remove_prefix(1);
        }
        if (!isNumber(value)) {
            return {};
        }
        value.remove_prefix(std::min(value.find_first_not_of('0'), value.size()));
        return value.empty() ? std::string{} : std::string(value);
    }
    return {};
}

std::string cookiesOfKeptLines(std::string_view lines) {
    std::string out;
    for (auto line : splitOn(lines, "\n")) {
        const auto pair = trimBlanks(line.substr(0, line.find(';')));
        if (pair.find('=') == std::string_view::npos) {
            continue;
        }
        if (!out.empty()) {
            out += "; ";
        }
        out += pair;
    }
    return out;
}

std::string accountsFolder(const std::string& dataFolder) {
    return dataFolder + "/accounts";
}

std::string profileFolder(const std::string& dataFolder, const std::string& number) {
    return dataFolder + "/profiles/" + number;
}

std::string accountText(const Account& a) {
    return "name=" + a.name + "\nproxy=" + a.proxy + "\ncookies=" + a.cookies + "\n\n" + a.kept;
}

Result<Account> parseAccountText(std::string_view text, const std::string& number) {
    const auto bad = [&number](const std::string& why) {
        return makeError(ErrorCode::Parse, "帐号文件 " + quoteBytes(number) + " 已损坏：" + why);
    };
    if (!isNumber(number)) {
        return bad("文件名不是帐号");
    }
    if (!isUtf8(text)) {
        return bad("不是 UTF-8 文本");
    }
    Account a;
    a.number = number;
    const auto end = text.find("\n\n");
    if (end == std::string_view::npos) {
        return bad("不完整");
    }
    a.kept = std::string(text.substr(end + 2));
    for (auto line : splitOn(text.substr(0, end), "\n")) {
        const auto eq = line.find('=');
        const auto key = line.substr(0, eq);
        const auto value = eq == std::string_view::npos ? std::string_view{} : line.substr(eq + 1);
        if (eq == std::string_view::npos || hasControlCharacter(value)) {
            return bad("有一行无法识别");
        }
        std::string* field = key == "name"      ? &a.name
                             : key == "proxy"   ? &a.proxy
                             : key == "cookies" ? &a.cookies
                                                : nullptr;
        if (field == nullptr) {
            return bad("有一行无法识别");
        }
        *field = std::string(value);
    }
    if (a.name.empty() || a.cookies.empty()) {
        return bad("缺少名称或 cookie");
    }
    if (accountNumber(a.cookies) != number) {
        return bad("cookie 不属于这个帐号");
    }
    return a;
}

AccountList::Opened AccountList::open(const std::string& dataFolder, bool remember) {
    Opened out{AccountList(remember ? dataFolder : std::string{}), {}};
    if (dataFolder.empty()) {
        return out;
    }
    const std::string folder = accountsFolder(dataFolder);
    std::error_code ec;
    if (!remember) {
        dropKeptSession(singleSessionPath(dataFolder));
        fs::remove_all(folder, ec);
        fs::remove_all(dataFolder + "/profiles", ec);
        return out;
    }
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        if (isAccountFile(entry)) {
            files.push_back(entry.path());
        }
    }
    // By number: the order a folder lists its files in is the file system's.
    std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
        const std::string x = a.filename().string();
        const std::string y = b.filename().string();
        return x.size() != y.size() ? x.size() < y.size() : x < y;
    });
    for (const auto& path : files) {
        auto account = parseAccountText(readWhole(path), path.filename().string());
        if (account) {
            // Files edited by hand may share a name; the list's names stay unique.
            account->name = out.list.freeName(account->name, account->number);
            out.list.accounts_.push_back(std::move(account).value());
        } else {
            out.skipped.push_back(account.error().message);
        }
    }
    // The session the tool kept before it knew several accounts: taken over once, then gone.
    const std::string single = singleSessionPath(dataFolder);
    if (fs::exists(single, ec)) {
        const std::string kept = readWhole(single);
        const auto added = out.list.addOrRefresh(cookiesOfKeptLines(kept), kept);
        if (added) {
            dropKeptSession(single);
        } else if (added.error().code == ErrorCode::Io) {
            out.skipped.push_back(added.error().message);  // kept where it is for the next start
        } else {
            dropKeptSession(single);
            out.skipped.push_back("之前保存的会话无法识别帐号，已删除");
        }
    }
    return out;
}

const Account* AccountList::find(std::string_view number) const {
    const auto it = std::find_if(accounts_.begin(), accounts_.end(),
                                 [number](const Account& a) { return a.number == number; });
    return it == accounts_.end() ? nullptr : &*it;
}

Account* AccountList::findMutable(std::string_view number) {
    const auto it = std::find_if(accounts_.begin(), accounts_.end(),
                                 [number](const Account& a) { return a.number == number; });
    return it == accounts_.end() ? nullptr : &*it;
}

// The wanted name when no account has it, else the number, else "<number>#2", "#3" ...
std::string AccountList::freeName(const std::string& wanted, const std::string& number) const {
    const auto taken = [this](const std::string& name) {
        return std::any_of(accounts_.begin(), accounts_.end(),
                           [&name](const Account& a) { return a.name == name; });
    };
    if (!taken(wanted)) {
        return wanted;
    }
    std::string name = number;
    for (int n = 2; taken(name); ++n) {
        name = number + "#" + std::to_string(n);
    }
    return name;
}

Status AccountList::remember(const Account& account) const {
    if (dataFolder_.empty()) {
        return Ok{};
    }
    if (!writeKeptSession(accountsFolder(dataFolder_) + "/" + account.number,
                          accountText(account))) {
        return makeError(ErrorCode::Io, "无法保存帐号 " + account.name);
    }
    return Ok{};
}

Result<std::size_t> AccountList::addOrRefresh(const std::string& cookies, const std::string& kept) {
    const std::string number = accountNumber(cookies);
    if (number.empty()) {
        return makeError(ErrorCode::BadInput, "登录的 cookie 中没有帐号（uin）");
    }
    if (hasControlCharacter(cookies)) {
        return makeError(ErrorCode::BadInput, "登录的 cookie 含有控制字符");
    }
    Account* account = findMutable(number);
    if (account == nullptr) {
        accounts_.push_back({number, freeName(number, number), {}, {}, {}});
        account = &accounts_.back();
    }
    account->cookies = cookies;
    account->kept = kept;
    const auto index = static_cast<std::size_t>(account - accounts_.data());
    if (auto saved = remember(*account); !saved) {
        return saved.error();
    }
    return index;
}

Status AccountList::rename(std::string_view number, const std::string& name) {
    Account* account = findMutable(number);
    if (account == nullptr) {
        return makeError(ErrorCode::BadInput, "没有这个帐号");
    }
    const std::string trimmed(trimBlanks(name));
    if (trimmed.empty() || hasControlCharacter(trimmed) || !isUtf8(trimmed)) {
        return makeError(ErrorCode::BadInput, "帐号名称不能为空，也不能含有控制字符");
    }
    const bool taken = std::any_of(accounts_.begin(), accounts_.end(), [&](const Account& a) {
        return a.name == trimmed && a.number != account->number;
    });
    if (taken) {
        return makeError(ErrorCode::BadInput, "已有帐号叫 " + trimmed);
    }
    account->name = trimmed;
    return remember(*account);
}

Status AccountList::setProxy(std::string_view number, const std::string& proxy) {
    Account* account = findMutable(number);
    if (account == nullptr) {
        return makeError(ErrorCode::BadInput, "没有这个帐号");
    }
    if (!proxy.empty()) {
        if (auto parsed = parseProxy(proxy); !parsed) {
            return parsed.error();
        }
    }
    account->proxy = proxy;
    return remember(*account);
}

Result<AccountList::Removed> AccountList::remove(std::string_view number) {
    const auto it = std::find_if(accounts_.begin(), accounts_.end(),
                                 [number](const Account& a) { return a.number == number; });
    if (it == accounts_.end()) {
        return makeError(ErrorCode::BadInput, "没有这个帐号");
    }
    Removed removed{std::move(*it), {}};
    accounts_.erase(it);
    if (!dataFolder_.empty()) {
        dropKeptSession(accountsFolder(dataFolder_) + "/" + removed.account.number);
        removed.profileFolder = profileFolder(dataFolder_, removed.account.number);
    }
    return removed;
}

}  // namespace vellicor::web

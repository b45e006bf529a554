#include "mall/run_input.h"

#include <algorithm>

#include "mall/outcome.h"

namespace vellicor::mall {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && isBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

// The field's text as the refusal quotes it: pasted text may bring line breaks or a whole
// paragraph, and the refusal is one line of the log box.
std::string quoted(std::string_view text) {
    constexpr std::size_t kQuotedChars = 20;
    std::string out(text);
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = ' ';
        }
    }
    return clipText(out, kQuotedChars);
}

std::string rangeText(int maxWorkers) {
    return " 1 到 " + std::to_string(maxWorkers) + " 之间的整数";
}

}  // namespace

Result<int> parseWorkerCount(std::string_view text, int maxWorkers) {
    const std::string_view digits = trimBlanks(text);
    if (digits.empty()) {
        return makeError(ErrorCode::BadInput,
                         "线程数为空，请填写" + rangeText(maxWorkers) + "，本次未发送请求");
    }
    if (digits.size() > 1 && digits.front() == '-' &&
        digits.find_first_not_of("0123456789", 1) == std::string_view::npos) {
        return makeError(ErrorCode::BadInput,
                         "线程数不能为负数，请填写" + rangeText(maxWorkers) + "，本次未发送请求");
    }
    long long value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return makeError(ErrorCode::BadInput, "线程数“" + quoted(digits) + "”不是整数，请填写" +
                                                      rangeText(maxWorkers) + "，本次未发送请求");
        }
        // Saturate instead of overflowing; anything this large is over the maximum anyway.
        value = value > maxWorkers ? value : value * 10 + (c - '0');
    }
    if (value == 0) {
        return makeError(ErrorCode::BadInput,
                         "线程数不能为 0，请填写" + rangeText(maxWorkers) + "，本次未发送请求");
    }
    if (value > maxWorkers) {
        return makeError(ErrorCode::BadInput, "线程数 " + quoted(digits) + " 超过上限 " +
                                                  std::to_string(maxWorkers) + "，本次未发送请求");
    }
    return static_cast<int>(value);
}

namespace {

// A session fault is the account's, named when the run has several.
Status checkSession(const web::Account& account, bool several) {
    const std::string who = several ? "帐号 " + account.name + "：" : std::string();
    if (account.cookies.empty()) {
        return makeError(ErrorCode::BadInput, who + "尚未登录，请先登录再兑换，本次未发送请求");
    }
    if (account.cookies.find_first_of("\r\n") != std::string::npos) {
        return makeError(ErrorCode::BadInput, who + "登录信息含有换行，已拒绝使用，本次未发送请求");
    }
    return Ok{};
}

}  // namespace

Result<RunPlan> planRun(const std::vector<std::string>& ticked, std::string_view workerField,
                        const std::vector<web::Account>& accounts, int maxWorkers) {
    if (accounts.empty()) {
        return makeError(ErrorCode::BadInput, "没有勾选任何帐号，本次未发送请求");
    }
    const bool several = accounts.size() > 1;
    // The first account's session is said before the run's own faults, as the user logs in
    // before ticking; the others' after them.
    if (auto st = checkSession(accounts.front(), several); !st) {
        return st.error();
    }
    auto selected = selectItems(ticked);
    if (!selected) {
        return makeError(ErrorCode::BadInput, selected.error().message + "，本次未发送请求");
    }
    if (selected->empty()) {
        return makeError(ErrorCode::BadInput, "没有勾选任何商品，本次未发送请求");
    }
    auto n = parseWorkerCount(workerField, maxWorkers);
    if (!n) {
        return n.error();
    }
    for (const web::Account& account : accounts) {
        if (auto st = checkSession(account, several); !st) {
            return st.error();
        }
    }
    return RunPlan{std::move(selected).value(), *n, accounts, several};
}

std::string startLine(const RunPlan& plan) {
    const std::size_t items = plan.items.size();
    const std::size_t accounts = std::max<std::size_t>(1, plan.accounts.size());
    const std::size_t perItem = static_cast<std::size_t>(std::max(0, plan.perItem));
    return "开始兑换：" + (accounts > 1 ? std::to_string(accounts) + " 个帐号，" : std::string()) +
           std::to_string(items) + " 个商品，每个 " + std::to_string(perItem) + " 个请求，共 " +
           std::to_string(items * perItem * accounts) + " 个";
}

}  // namespace vellicor::mall

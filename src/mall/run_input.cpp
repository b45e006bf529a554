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

Result<RunPlan> planRun(const std::vector<std::string>& ticked, std::string_view workerField,
                        const std::string& cookies, int maxWorkers) {
    if (cookies.empty()) {
        return makeError(ErrorCode::BadInput, "尚未登录，请先登录再兑换，本次未发送请求");
    }
    if (cookies.find_first_of("\r\n") != std::string::npos) {
        return makeError(ErrorCode::BadInput, "登录信息含有换行，已拒绝使用，本次未发送请求");
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
    return RunPlan{std::move(selected).value(), *n, cookies};
}

std::vector<RunAccount> RunPlan::sendingAccounts() const {
    if (accounts.empty()) {
        return {RunAccount{std::string(), cookies, std::string()}};
    }
    return accounts;
}

Result<RunPlan> planRun(const std::vector<std::string>& ticked, std::string_view workerField,
                        const std::vector<RunAccount>& accounts, int maxWorkers) {
    if (accounts.empty()) {
        return makeError(ErrorCode::BadInput, "没有勾选任何帐号，本次未发送请求");
    }
    if (accounts.size() == 1) {
        auto plan = planRun(ticked, workerField, accounts.front().cookies, maxWorkers);
        if (plan) {
            plan->accounts = accounts;
        }
        return plan;
    }
    for (const RunAccount& account : accounts) {
        if (auto checked = planRun(ticked, workerField, account.cookies, maxWorkers); !checked) {
            // A session fault is the account's; the others are the run's, said once.
            const bool session = account.cookies.empty() ||
                                 account.cookies.find_first_of("\r\n") != std::string::npos;
            return session ? makeError(ErrorCode::BadInput,
                                       "帐号 " + account.name + "：" + checked.error().message)
                           : checked.error();
        }
    }
    auto plan = planRun(ticked, workerField, accounts.front().cookies, maxWorkers);
    plan->accounts = accounts;
    return plan;
}

std::string startLine(const RunPlan& plan) {
    const std::size_t items = plan.items.size();
    const std::size_t accounts = std::max<std::size_t>(1, plan.accounts.size());
    const std::size_t perItem = static_cast<std::size_t>(std::max(0, plan.perItem));
    return "开始兑换：" + (accounts > 1 ? std::to_string(accounts) + " 个帐号，" : std::string()) +
           std::to_string(items) + " 个商品，每个 " + std::to_string(perItem) + " 个请求，共 " +
           std::to_string(items * perItem * accounts) + " 个";
}

Result<int> parseTimeOfDay(std::string_view text) {
    const std::string_view t = trimBlanks(text);
    int parts[3] = {0, 0, 0};
    int part = 0;
    int digits = 0;
    for (char c : t) {
        if (c == ':' && digits > 0 && part < 2) {
            ++part;
            digits = 0;
        } else if (c >= '0' && c <= '9' && digits < 2) {
            parts[part] = parts[part] * 10 + (c - '0');
            ++digits;
        } else {
            digits = -1;
            break;
        }
    }
    if (part != 2 || digits <= 0 || parts[0] > 23 || parts[1] > 59 || parts[2] > 59) {
        return makeError(ErrorCode::BadInput,
                         "时间“" + std::string(t) + "”不是 时:分:秒（00:00:00 到 23:59:59）");
    }
    return parts[0] * 3600 + parts[1] * 60 + parts[2];
}

}  // namespace vellicor::mall

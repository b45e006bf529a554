#pragma once
// The daily sign-in: each game's state as the portal's sign-in query tells it, and the
// texts of the seven state labels.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "mall/catalogue.h"
#include "platform/config.h"
#include "platform/result.h"
#include "platform/services.h"

namespace vellicor::signin {

inline constexpr std::string_view kNotSigned = "未签到";
inline constexpr std::string_view kRefreshing = "正在刷新签到信息: ";
inline constexpr std::string_view kUnknown = "读取失败";
inline constexpr std::string_view kDayComplete = "今日签到已完成!!!\r\n";

// "<mall>/center2/indexop.php?op=getsign&tipsflg=1&gid=<gid>&g_tk=862047319"
std::string signinQueryAddress(std::string_view mallBase, int gid);
// "<mall>/center/index.php?first=1&gid=<gid>"
std::string centrePageAddress(std::string_view mallBase, int gid);

struct SigninState {
    bool signedToday = false;  // the reply holds "签到成功"
    std::string highlight;     // the text inside the first <strong>, markup removed
    std::string days;          // the run of consecutive days (digits), after "连续"
    // "签到成功" or "未签到", then " " and the highlight, then ",连续<days>天", each part
    // only where the reply has it.
    std::string text() const;
};

// Reads the state from the decoded (UTF-8) sign-in query reply.
SigninState parseSigninState(std::string_view reply);

// The game's prefix (tag and two blanks) and the state.
std::string labelText(const mall::Game& game, std::string_view state);
// The seven labels before any refresh, in game-table order.
std::vector<std::string> initialLabels();
// Indices into mall::games(), in ascending gid order: the order the refresh asks in.
std::vector<std::size_t> refreshOrder();

struct RefreshResult {
    std::vector<std::string> labels;  // game-table order
    std::size_t failed = 0;           // games whose state could not be read
    bool dayComplete = false;         // every game read and signed in today
};

// Called with a game's index into mall::games() and its new label text.
using LabelSink = std::function<void(std::size_t game, const std::string& label)>;

// Asks the sign-in query for every game in ascending gid order, with the session cookie
// string; logs a line per game, hands each new label to `onLabel` as soon as it is known,
// and ends with "今日签到已完成!!!\r\n" when every game is signed in today. A game whose
// query fails or whose reply says the session is not logged in gets "读取失败" on its label
// (its state is unknown, not "未签到") and a log line saying why. Blocking; any thread.
// Without a session nothing is sent: one log line, labels unchanged.
RefreshResult refreshStates(const Config& config, const std::string& cookies, const LogSink& log,
                            const LabelSink& onLabel);

}  // namespace vellicor::signin

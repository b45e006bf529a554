#pragma once
// The order of the sign-in through the hidden pane: one game's centre page at a time, its
// sign-in button pressed once the page is complete, then the next game. The pane itself is
// driven by the window; this class says what to do next and writes the log lines, so the
// order can be followed without a browser.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/services.h"

namespace vellicor::signin {

inline constexpr std::string_view kSignButton = "id_game_sign_btn";
inline constexpr std::string_view kLoading = "正在加载签到: ";
inline constexpr std::string_view kSigning = "签到 ";
inline constexpr std::string_view kAllSigned = "已全部签到完毕,请勿重复点击\r\n";

class SignSequence {
  public:
    enum class Kind {
        Nothing,   // wait for the next event
        Load,      // navigate the pane to `address` (and start the page's time-out)
        Click,     // press the sign-in button in the document in view
        Settle,    // the click went out: give the page time to send it, then settled()
        Finished,  // the run is over; a refresh of the states follows
    };
    struct Step {
        Kind kind = Kind::Nothing;
        std::string address;
    };

    SignSequence(std::string mallBase, LogSink log);

    // "签" pressed. Nothing, with a line, when a run is under way or every game was
    // signed in already in this session.
    Step start();
    // A document of the pane is complete. Only the current game's centre page counts:
    // frames and pages passed on the way are not it.
    Step documentComplete(std::string_view address);
    // The outcome of pressing the button: found and clicked, or no such element.
    Step clicked(bool found);
    Step settled();
    // The current page did not complete within the time-out.
    Step timedOut();
    // A new login: signing in is allowed again.
    void resetSession();

    bool running() const { return stage_ != Stage::Idle; }
    bool complete() const { return complete_; }

  private:
    enum class Stage { Idle, Loading, Clicking, Settling };
    Step loadCurrent();
    Step next();
    Step finish();
    std::string currentCaption() const;

    std::string mall_;
    LogSink log_;
    std::vector<std::size_t> order_;
    std::size_t position_ = 0;
    std::vector<std::string> skipped_;
    Stage stage_ = Stage::Idle;
    bool complete_ = false;
};

}  // namespace vellicor::signin

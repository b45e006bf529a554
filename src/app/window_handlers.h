#pragma once
// The seam between the window and the subsystems that act on its events.
//
// Every event the form gives a handler reaches exactly one virtual below. A subsystem
// derives a controller from WindowHandlers, overrides the events it owns, and is added to the
// window in wiring.cpp; the window calls each added controller in the order added, and the
// defaults do nothing, so a controller sees only what it asked for. All calls come on the
// window's thread. Controllers reach the controls through the window's view (window_view.h)
// and write log lines through AppContext::log.
//
//   event                                   virtual                owner
//   window created (before it is shown)     started                each subsystem
//   window being destroyed                  closing                each subsystem
//   按钮1 兑换                               exchangeClicked        exchange run
//   按钮2 重新登录                           reloginClicked         login
//   按钮3 登录方式二                         loginModeClicked       login
//   按钮4 登录                               loginClicked           login
//   按钮5 停止背景音乐                       stopMusicClicked       music
//   按钮6 游票使用记录                       usageRecordClicked     balances
//   按钮7 签                                 signInClicked          sign-in
//   按钮8 刷                                 signInRefreshClicked   sign-in
//   按钮9 定                                 armTimerClicked        timed redemption
//   编辑框5/6/7 changed by the user          timeFieldEdited        timed redemption
//   时钟1 tick (1000 ms)                      secondTicked           window (timer caption)
//   时钟2 tick                                countdownTicked        timed redemption
//   超文本浏览框1/2 navigation finished       loginPaneNavigated     login
//   超文本浏览框3 document finished (per frame) signInDocumentReady   sign-in
//   简单超文本框1 link clicked                linkClicked            link panel

#include <string>

namespace vellicor::app {

enum class TimeField { Hour, Minute, Second };  // 编辑框5, 编辑框6, 编辑框7

class Pane;

class WindowHandlers {
  public:
    virtual ~WindowHandlers() = default;

    virtual void started() {}
    virtual void closing() {}

    virtual void exchangeClicked() {}
    virtual void reloginClicked() {}
    virtual void loginModeClicked() {}
    virtual void loginClicked() {}
    virtual void stopMusicClicked() {}
    virtual void usageRecordClicked() {}
    virtual void signInClicked() {}
    virtual void signInRefreshClicked() {}
    virtual void armTimerClicked() {}

    virtual void timeFieldEdited(TimeField) {}
    virtual void secondTicked() {}
    virtual void countdownTicked() {}

    // pane: the quick-login or the account-login pane.
    virtual void loginPaneNavigated(Pane& /*pane*/, const std::string& /*address*/) {}
    virtual void signInDocumentReady(const std::string& /*address*/) {}
    virtual void linkClicked(const std::string& /*eventText*/) {}
};

}  // namespace vellicor::app

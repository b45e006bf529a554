#pragma once
// The seam between the window and the subsystems that act on its events.
//
// Every event the form gives a handler has one subscriber list below. A subsystem subscribes
// to the events it owns when it is wired (wiring.cpp and the wiring files it calls), and only
// to those; the window calls an event's subscribers in the order they subscribed. All calls
// come on the window's thread. Controllers reach the controls through the window's view
// (window_view.h) and write log lines through AppContext::log.
//
//   event                                   list                   owner
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

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vellicor::app {

enum class TimeField { Hour, Minute, Second };  // 编辑框5, 编辑框6, 编辑框7

class Pane;

// One event's subscribers, called in the order they subscribed.
template <typename... Args>
class Event {
  public:
    using Subscriber = std::function<void(Args...)>;

    void subscribe(Subscriber subscriber) { subscribers_.push_back(std::move(subscriber)); }
    void dispatch(Args... args) const {
        for (const Subscriber& subscriber : subscribers_) {
            subscriber(args...);
        }
    }

  private:
    std::vector<Subscriber> subscribers_;
};

struct WindowEvents {
    Event<> started;
    Event<> closing;

    Event<> exchangeClicked;
    Event<> reloginClicked;
    Event<> loginModeClicked;
    Event<> loginClicked;
    Event<> stopMusicClicked;
    Event<> usageRecordClicked;
    Event<> signInClicked;
    Event<> signInRefreshClicked;
    Event<> armTimerClicked;

    Event<TimeField> timeFieldEdited;
    Event<> secondTicked;
    Event<> countdownTicked;

    // pane: the quick-login or the account-login pane.
    Event<Pane&, const std::string&> loginPaneNavigated;
    Event<const std::string&> signInDocumentReady;
    Event<const std::string&> linkClicked;
};

// The controllers a window keeps for as long as it lives, of whatever type; they end in the
// order they were added.
class Controllers {
  public:
    Controllers() = default;
    Controllers(const Controllers&) = delete;
    Controllers& operator=(const Controllers&) = delete;
    ~Controllers() {
        for (std::shared_ptr<void>& controller : owned_) {
            controller.reset();
        }
    }

    template <typename T>
    T& add(std::unique_ptr<T> controller) {
        T& added = *controller;
        owned_.emplace_back(std::move(controller));
        return added;
    }

  private:
    std::vector<std::shared_ptr<void>> owned_;
};

}  // namespace vellicor::app

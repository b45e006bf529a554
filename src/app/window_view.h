#pragma once
// What the controllers see of the main window: each control they act on, named by what it is
// for. MainWindow is the implementation over the form (the one code that knows the controls'
// form names); tests give a view of plain widgets and stand-in panes, without a browser.

#include <QObject>
#include <QString>
#include <cstddef>
#include <memory>
#include <optional>

#include "app/window_events.h"
#include "mall/catalogue.h"
#include "web/qt/pane_document.h"

class QWebEngineProfile;

namespace vellicor::ui {
class Button;
class CheckBox;
class EditBox;
class GroupBox;
class HtmlViewer;
class Label;
class ProcessBar;
class Timer;
}  // namespace vellicor::ui

namespace vellicor::app {

// A browser pane as the controllers use it.
class Pane : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;

    // Navigates, also to the address already shown; the text is an encoded address.
    virtual void open(const QString& address) = 0;
    virtual QString address() const = 0;
    virtual void setShown(bool shown) = 0;
    // Whether the pane is meant to be seen (with the window shown).
    virtual bool shown() const = 0;
    // The page in view; none before the pane has opened one.
    virtual std::optional<web::PaneDocument> document() const = 0;

  signals:
    // The page in view has finished loading.
    void loadFinished(bool ok);
};

// A browser pane of the window's own.
class ViewerPane final : public Pane {
    Q_OBJECT
  public:
    explicit ViewerPane(ui::HtmlViewer& viewer);

    void open(const QString& address) override;
    QString address() const override;
    void setShown(bool shown) override;
    bool shown() const override;
    std::optional<web::PaneDocument> document() const override;

  private:
    ui::HtmlViewer& viewer_;
};

class WindowView {
  public:
    virtual ~WindowView() = default;

    // The redemption bar and the item groups.
    virtual ui::Button& exchangeButton() = 0;
    virtual ui::EditBox& workerField() = 0;  // how many workers the run uses ("线程")
    // The item's box; null for an item the window does not offer.
    virtual ui::CheckBox* itemBox(const mall::Item& item) = 0;
    virtual ui::GroupBox* gameGroup(const mall::Game& game) = 0;

    // The login area.
    virtual Pane& quickLoginPane() = 0;
    virtual Pane& accountLoginPane() = 0;
    virtual ui::Label& accountCaptions() = 0;
    virtual ui::EditBox& accountField() = 0;
    virtual ui::EditBox& passwordField() = 0;
    virtual ui::Button& loginButton() = 0;
    virtual ui::Button& loginModeButton() = 0;

    // The sign-in group: one state label a game, in game-table order; null past the last.
    virtual ui::Label* signInLabel(std::size_t game) = 0;
    virtual ui::Button& signInButton() = 0;
    virtual ui::Button& signInRefreshButton() = 0;
    virtual Pane& signInPane() = 0;

    // The timer group.
    virtual ui::EditBox& timeField(TimeField field) = 0;
    virtual ui::ProcessBar& timeBar(TimeField field) = 0;
    virtual ui::Label& timerState() = 0;
    virtual ui::Label& timeRemaining() = 0;
    virtual ui::Timer& countdown() = 0;

    // The browser profile of the login panes (the account in view's), and the sign-in pane's
    // (another one's while 签 walks through the accounts). Views without a browser ignore
    // them.
    virtual void useProfile(QWebEngineProfile* profile) { (void)profile; }
    virtual void useSignInProfile(QWebEngineProfile* profile) { (void)profile; }

    // What owns the controllers' helpers that live as long as the window.
    virtual QObject& owner() = 0;
    // The window's events, for the controllers to subscribe to what they act on.
    virtual WindowEvents& events() = 0;
    // The controllers that live as long as the window.
    virtual Controllers& controllers() = 0;
};

}  // namespace vellicor::app

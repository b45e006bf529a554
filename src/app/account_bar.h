#pragma once
// The accounts control of the window: a box choosing the account in view (or a new login),
// and 帐号 (with the number of accounts), a small list where the user ticks the accounts a run
// fires for, renames them, sets or clears their own proxies and removes them. It sits in the free
// space right of 停止背景音乐, moving no other control.

#include <QComboBox>
#include <QDialog>
#include <QListWidget>
#include <QObject>
#include <QPointer>
#include <QPushButton>

#include "app/app_context.h"

namespace vellicor::app {

class AccountSessions;
class WindowView;

class AccountBar final : public QObject {
    Q_OBJECT
  public:
    AccountBar(WindowView& window, AppContext& context, AccountSessions& sessions);
    ~AccountBar() override;

    QComboBox& chooser() { return *chooser_; }
    QPushButton& listButton() { return *listButton_; }
    // The list, while it is open.
    QDialog* listDialog() const { return dialog_.data(); }
    void openList();

  private:
    void fillChooser();
    void fillList();
    void chosen(int index);
    void renameSelected();
    void setProxyOfSelected();
    void removeSelected();
    QString selectedNumber() const;
    void log(const std::string& text) const;

    AppContext& context_;
    AccountSessions& sessions_;
    QPointer<QComboBox> chooser_;
    QPointer<QPushButton> listButton_;
    QPointer<QDialog> dialog_;
    QPointer<QListWidget> list_;
    bool filling_ = false;
};

}  // namespace vellicor::app

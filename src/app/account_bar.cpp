#include "app/account_bar.h"

#include <QComboBox>
#include <QDialog>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/account_sessions.h"
#include "app/window_view.h"
#include "platform/qt/basic_controls.h"
#include "web/proxy_setting.h"

namespace vellicor::app {
namespace {

// Right of 停止背景音乐 (608..696) and inside the item groups' right edge (904).
const QRect kChooser(700, 12, 128, 24);
const QRect kListButton(832, 8, 72, 32);
constexpr int kNumberRole = Qt::UserRole;

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

}  // namespace

AccountBar::AccountBar(WindowView& window, AppContext& context, AccountSessions& sessions)
    : context_(context), sessions_(sessions) {
    auto* parent = qobject_cast<QWidget*>(&window.owner());
    chooser_ = new QComboBox(parent);
    chooser_->setGeometry(kChooser);
    chooser_->setToolTip(QStringLiteral("显示的帐号"));
    listButton_ = new ui::Button(parent);
    listButton_->setGeometry(kListButton);
    if (parent == nullptr) {
        // A view without a window: the controls are the bar's own.
        chooser_->setParent(nullptr);
        listButton_->setParent(nullptr);
    }
    connect(chooser_, &QComboBox::activated, this, [this](int index) { chosen(index); });
    connect(listButton_, &QPushButton::clicked, this, [this] { openList(); });
    connect(&sessions_, &AccountSessions::listChanged, this, [this] {
        fillChooser();
        fillList();
    });
    connect(&sessions_, &AccountSessions::currentChanged, this, [this] { fillChooser(); });
    fillChooser();
}

AccountBar::~AccountBar() {
    delete dialog_.data();
    if (chooser_ && chooser_->parent() == nullptr) {
        delete chooser_.data();
        delete listButton_.data();
    }
}

void AccountBar::log(const std::string& text) const {
    if (context_.log) {
        context_.log(text);
    }
}

void AccountBar::fillChooser() {
    filling_ = true;
    chooser_->clear();
    for (const auto& account : sessions_.accounts()) {
        chooser_->addItem(qs(account.name), qs(account.number));
    }
    chooser_->addItem(QStringLiteral("新帐号登录"), QString());
    const std::size_t count = sessions_.accounts().size();
    listButton_->setText(count == 0 ? QStringLiteral("帐号")
                                    : QStringLiteral("帐号(%1)").arg(count));
    const int shown = chooser_->findData(qs(sessions_.currentNumber()));
    chooser_->setCurrentIndex(shown >= 0 ? shown : chooser_->count() - 1);
    filling_ = false;
}

void AccountBar::chosen(int index) {
    if (filling_ || index < 0) {
        return;
    }
    const auto shown = sessions_.show(chooser_->itemData(index).toString().toStdString());
    if (!shown) {
        log(shown.error().message + "\r\n");
        fillChooser();
    }
}

void AccountBar::openList() {
    if (dialog_.isNull()) {
        dialog_ = new QDialog(chooser_->window());
        dialog_->setAttribute(Qt::WA_DeleteOnClose);
        dialog_->setWindowTitle(QStringLiteral("帐号"));
        auto* layout = new QVBoxLayout(dialog_);
        list_ = new QListWidget(dialog_);
        list_->setToolTip(QStringLiteral("打勾的帐号参与兑换"));
        layout->addWidget(list_);
        // Qt WebEngine takes one proxy for the whole program.
        auto* note = new QLabel(
            QStringLiteral("帐号的代理用于它的兑换、签到和查询；登录页面一律经 http.proxy。"),
            dialog_);
        note->setWordWrap(true);
        layout->addWidget(note);
        auto* buttons = new QHBoxLayout;
        auto* rename = new QPushButton(QStringLiteral("改名"), dialog_);
        auto* proxy = new QPushButton(QStringLiteral("代理"), dialog_);
        auto* remove = new QPushButton(QStringLiteral("删除"), dialog_);
        auto* close = new QPushButton(QStringLiteral("关闭"), dialog_);
        buttons->addWidget(rename);
        buttons->addWidget(proxy);
        buttons->addWidget(remove);
        buttons->addStretch();
        buttons->addWidget(close);
        layout->addLayout(buttons);
        connect(rename, &QPushButton::clicked, this, [this] { renameSelected(); });
        connect(proxy, &QPushButton::clicked, this, [this] { setProxyOfSelected(); });
        connect(remove, &QPushButton::clicked, this, [this] { removeSelected(); });
        connect(close, &QPushButton::clicked, dialog_, &QDialog::close);
        connect(list_, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
            if (!filling_) {
                sessions_.setTicked(item->data(kNumberRole).toString().toStdString(),
                                    item->checkState() == Qt::Checked);
            }
        });
        dialog_->resize(360, 260);
    }
    fillList();
    dialog_->show();
    dialog_->raise();
    dialog_->activateWindow();
}

void AccountBar::fillList() {
    if (list_.isNull()) {
        return;
    }
    filling_ = true;
    const QString selected = selectedNumber();
    list_->clear();
    for (const auto& account : sessions_.accounts()) {
        const QString number = qs(account.number);
        QString text = qs(account.name);
        if (account.name != account.number) {
            text += QStringLiteral(" (%1)").arg(number);
        }
        if (!account.proxy.empty()) {
            text += QStringLiteral("  代理 ") + qs(web::proxyForDisplay(account.proxy));
        }
        auto* item = new QListWidgetItem(text, list_);
        item->setData(kNumberRole, number);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(sessions_.ticked(account.number) ? Qt::Checked : Qt::Unchecked);
        if (number == selected) {
            list_->setCurrentItem(item);
        }
    }
    filling_ = false;
}

QString AccountBar::selectedNumber() const {
    if (list_.isNull() || list_->currentItem() == nullptr) {
        return {};
    }
    return list_->currentItem()->data(kNumberRole).toString();
}

void AccountBar::renameSelected() {
    const QString number = selectedNumber();
    if (number.isEmpty()) {
        return;
    }
    bool ok = false;
    const QString name = QInputDialog::getText(
        dialog_, QStringLiteral("改名"), QStringLiteral("帐号 %1 的名字:").arg(number),
        QLineEdit::Normal, qs(sessions_.nameOf(number.toStdString())), &ok);
    if (!ok) {
        return;
    }
    const auto done = sessions_.rename(number.toStdString(), name.trimmed().toStdString());
    if (!done) {
        log("改名失败: " + done.error().message + "\r\n");
    }
}

// The setting is typed anew (the one kept is never shown with its password); left empty it
// is cleared, and the account goes by http.proxy.
void AccountBar::setProxyOfSelected() {
    const QString number = selectedNumber();
    if (number.isEmpty()) {
        return;
    }
    bool ok = false;
    const QString proxy = QInputDialog::getText(
        dialog_, QStringLiteral("代理"),
        QStringLiteral("帐号 %1 的代理，http://[用户:密码@]主机:端口 或 socks5h://…（留空则用 "
                       "http.proxy）:")
            .arg(qs(sessions_.nameOf(number.toStdString()))),
        QLineEdit::Normal, QString(), &ok);
    if (!ok) {
        return;
    }
    const auto done = sessions_.setProxy(number.toStdString(), proxy.trimmed().toStdString());
    if (!done) {
        log("设置代理失败: " + done.error().message + "\r\n");
    }
}

void AccountBar::removeSelected() {
    const QString number = selectedNumber();
    if (number.isEmpty()) {
        return;
    }
    const auto answer = QMessageBox::question(dialog_, QStringLiteral("删除帐号"),
                                              QStringLiteral("删除帐号 %1 及其登录信息?")
                                                  .arg(qs(sessions_.nameOf(number.toStdString()))));
    if (answer != QMessageBox::Yes) {
        return;
    }
    const auto done = sessions_.remove(number.toStdString());
    if (!done) {
        log("删除帐号失败: " + done.error().message + "\r\n");
    }
}

}  // namespace vellicor::app

#include "platform/qt/qt_services.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMessageBox>
#include <QThread>
#include <QUrl>

#include "platform/runtime.h"

namespace vellicor::ui {
namespace {

constexpr unsigned kButtonMask = 0xF;
constexpr unsigned kIconMask = 0xF0;

QMessageBox::StandardButtons buttonsFor(unsigned flags) {
    switch (flags & kButtonMask) {
        case mbflags::OkCancel:
            return QMessageBox::Ok | QMessageBox::Cancel;
        case mbflags::AbortRetryIgnore:
            return QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore;
        case mbflags::YesNoCancel:
            return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
        case mbflags::YesNo:
            return QMessageBox::Yes | QMessageBox::No;
        case mbflags::RetryCancel:
            return QMessageBox::Retry | QMessageBox::Cancel;
        default:
            return QMessageBox::Ok;
    }
}

QMessageBox::Icon iconFor(unsigned flags) {
    switch (flags & kIconMask) {
        case mbflags::IconError:
            return QMessageBox::Critical;
        case mbflags::IconQuestion:
            return QMessageBox::Question;
        case mbflags::IconWarning:
            return QMessageBox::Warning;
        case mbflags::IconInformation:
            return QMessageBox::Information;
        default:
            return QMessageBox::NoIcon;
    }
}

int answerOf(int button) {
    switch (button) {
        case QMessageBox::Cancel:
            return AnswerCancel;
        case QMessageBox::Abort:
            return AnswerAbort;
        case QMessageBox::Retry:
            return AnswerRetry;
        case QMessageBox::Ignore:
            return AnswerIgnore;
        case QMessageBox::Yes:
            return AnswerYes;
        case QMessageBox::No:
            return AnswerNo;
        default:
            return AnswerOk;
    }
}

int showHere(const std::string& text, unsigned flags, const std::string& caption) {
    QMessageBox box(iconFor(flags), QString::fromStdString(caption), QString::fromStdString(text),
                    buttonsFor(flags));
    // Without an owner window, task-modal and system-modal both hold the whole program;
    // system-modal boxes also stay above other programs' windows.
    box.setWindowModality(Qt::ApplicationModal);
    if ((flags & mbflags::SystemModal) != 0) {
        box.setWindowFlag(Qt::WindowStaysOnTopHint);
    }
    return answerOf(box.exec());
}

bool onGuiThread() {
    auto* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

}  // namespace

int QtMessageBoxService::show(const std::string& text, unsigned flags, const std::string& caption) {
    if (onGuiThread()) {
        return showHere(text, flags, caption);
    }
    int answer = AnswerOk;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&] { answer = showHere(text, flags, caption); },
        Qt::BlockingQueuedConnection);
    return answer;
}

QtUrlOpener::QtUrlOpener(MessageBoxService* boxes, Launch launch)
    : boxes_(boxes), launch_(std::move(launch)) {
    if (!launch_) {
        launch_ = [](const QUrl& address) { return QDesktopServices::openUrl(address); };
    }
}

void QtUrlOpener::open(const std::string& url) {
    openAll({url});
}

void QtUrlOpener::openAll(const std::vector<std::string>& urls) {
    if (onGuiThread()) {
        openHere(urls);
        return;
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [this, urls] { openHere(urls); }, Qt::QueuedConnection);
}

void QtUrlOpener::openHere(const std::vector<std::string>& urls) {
    std::string missed;
    int count = 0;
    for (const std::string& url : urls) {
        if (!launch_(QUrl::fromEncoded(QByteArray::fromStdString(url)))) {
            missed += (missed.empty() ? "" : "\r\n") + url;
            ++count;
        }
    }
    if (missed.empty()) {
        return;
    }
    if (QClipboard* clipboard = QGuiApplication::clipboard()) {
        clipboard->setText(
            QString::fromStdString(missed).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    }
    if (boxes_ != nullptr) {
        boxes_->show(std::string("无法打开浏览器，请在浏览器中打开") +
                         (count > 1 ? "这些地址" : "这个地址") + "（已复制到剪贴板）：\r\n" +
                         missed,
                     mbflags::Ok | mbflags::IconInformation | mbflags::TaskModal, kDefaultCaption);
    }
}

}  // namespace vellicor::ui

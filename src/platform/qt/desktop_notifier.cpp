#include "platform/qt/desktop_notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QGuiApplication>
#include <QSystemTrayIcon>
#include <QVariantMap>
#include <utility>

namespace vellicor::ui {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

// A bus that does not answer within this is treated as having no service: the win goes to the
// balloon rather than waiting on D-Bus's own 25 s.
constexpr int kCallTimeoutMs = 5000;
constexpr qsizetype kTitleChars = 40;
constexpr std::size_t kBalloonLines = 8;

// The mall's text goes to another program's renderer: control characters could break its
// layout or fake lines, so line breaks and tabs become spaces and the rest go, with the
// noncharacters (U+FFFE, U+FFFF, U+FDD0-U+FDEF) a message bus may refuse a text for.
QString visible(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        const bool control = u < 0x20 || (u >= 0x7F && u <= 0x9F) || u == 0xFFFE || u == 0xFFFF ||
                             (u >= 0xFDD0 && u <= 0xFDEF);
        if (!control) {
            out += c;
        } else if (c.isSpace()) {
            out += QLatin1Char(' ');
        }
    }
    return out.simplified();
}

// Servers draw the summary on one line; a long item caption would push out the rest.
QString shortTitle(const QString& title) {
    if (title.size() <= kTitleChars) {
        return title;
    }
    qsizetype cut = kTitleChars - 1;
    if (title.at(cut - 1).isHighSurrogate()) {
        --cut;
    }
    return title.left(cut) + QChar(0x2026);
}

// A service that reads the body as markup would otherwise take "<b>" or "&lt;" from the mall
// as its own.
QString escaped(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
            case u'&':
                out += QStringLiteral("&amp;");
                break;
            case u'<':
                out += QStringLiteral("&lt;");
                break;
            case u'>':
                out += QStringLiteral("&gt;");
                break;
            case u'"':
                out += QStringLiteral("&quot;");
                break;
            case u'\'':
                out += QStringLiteral("&#39;");
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace

TrayBalloons::TrayBalloons() = default;

TrayBalloons::~TrayBalloons() {
    delete tray_;
}

bool TrayBalloons::available() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayBalloons::show(const QString& title, const QString& text, int shownMs) {
    if (tray_ == nullptr) {
        tray_ = new QSystemTrayIcon(QGuiApplication::windowIcon());
        tray_->setToolTip(QStringLiteral("Vellicor"));
    }
    tray_->show();
    tray_->showMessage(title, text, QSystemTrayIcon::Information, shownMs);
}

DesktopNotifier::DesktopNotifier(LogSink say, std::unique_ptr<Balloons> balloons)
    : say_(std::move(say)), balloons_(std::move(balloons)) {
    if (!balloons_) {
        balloons_ = std::make_unique<TrayBalloons>();
    }
    balloonUp_.setSingleShot(true);
    connect(&balloonUp_, &QTimer::timeout, this, [this] { shown_.clear(); });
}

DesktopNotifier::~DesktopNotifier() = default;

void DesktopNotifier::start() {
    probe();
}

void DesktopNotifier::notify(const std::string& title, const std::string& text) {
    Note note{shortTitle(visible(QString::fromStdString(title))),
              visible(QString::fromStdString(text))};
    if (route_ == Route::Service) {
        send(note);
        return;
    }
    // Asked again each time: a service started after us (or activated on demand) is used.
    waiting_.push_back(std::move(note));
    probe();
}

void DesktopNotifier::probe() {
    if (probing_) {
        return;
    }
    probing_ = true;
    const QDBusMessage ask = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                            QStringLiteral("GetCapabilities"));
    auto* call = new QDBusPendingCallWatcher(
        QDBusConnection::sessionBus().asyncCall(ask, kCallTimeoutMs), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, &DesktopNotifier::probed);
}

void DesktopNotifier::probed(QDBusPendingCallWatcher* call) {
    call->deleteLater();
    probing_ = false;
    const QDBusPendingReply<QStringList> reply = *call;
    route_ = reply.isError() ? Route::None : Route::Service;
    if (route_ == Route::Service) {
        markup_ = reply.value().contains(QStringLiteral("body-markup"));
    }
    const std::vector<Note> waiting = std::exchange(waiting_, {});
    for (const Note& note : waiting) {
        if (route_ == Route::Service) {
            send(note);
        } else {
            fallBack(note);
        }
    }
    if (route_ == Route::None && !balloons_->available()) {
        sayOnce();
    }
}

void DesktopNotifier::send(const Note& note) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("vellicor"));
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(uchar{1}));
    // replaces_id 0: every win is a notification of its own, none taking another's place.
    // Expiry 0: the user who armed a run and walked away still finds it on coming back.
    call << QStringLiteral("Vellicor") << 0U << QStringLiteral("vellicor") << note.title
         << (markup_ ? escaped(note.text) : note.text) << QStringList() << hints << 0;
    auto* sent = new QDBusPendingCallWatcher(
        QDBusConnection::sessionBus().asyncCall(call, kCallTimeoutMs), this);
    connect(sent, &QDBusPendingCallWatcher::finished, this,
            [this, note](QDBusPendingCallWatcher* done) {
                done->deleteLater();
                if (!done->isError()) {
                    emit handled();
                    return;
                }
                route_ = Route::Unknown;  // the service went away: ask again next time
                fallBack(note);
            });
}

void DesktopNotifier::fallBack(const Note& note) {
    if (balloons_->available()) {
        balloon(note);
    } else {
        sayOnce();
    }
    emit handled();
}

// A balloon replaces the one shown, so wins that come while one is up are shown together: the
// newest balloon lists every win since the first of them.
void DesktopNotifier::balloon(const Note& note) {
    shown_.push_back(note);
    balloonUp_.start(kBalloonMs);
    if (shown_.size() == 1) {
        balloons_->show(note.title, note.text, kBalloonMs);
        return;
    }
    QStringList lines;
    const std::size_t first = shown_.size() > kBalloonLines ? shown_.size() - kBalloonLines : 0;
    if (first > 0) {
        lines << QStringLiteral("……另有 %1 条在前").arg(first);
    }
    for (std::size_t i = first; i < shown_.size(); ++i) {
        lines << shown_[i].title + QStringLiteral(" — ") + shown_[i].text;
    }
    balloons_->show(QStringLiteral("Vellicor：%1 条兑换结果").arg(shown_.size()),
                    lines.join(QLatin1Char('\n')), kBalloonMs);
}

void DesktopNotifier::sayOnce() {
    if (said_) {
        return;
    }
    said_ = true;
    if (say_) {
        say_("提示：桌面没有通知服务，也没有系统托盘，兑换成功时无法弹出通知\r\n");
    }
}

}  // namespace vellicor::ui

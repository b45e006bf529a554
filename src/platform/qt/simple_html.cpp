#include "platform/qt/simple_html.h"

#include <QRegularExpression>
#include <QScrollBar>

#include "platform/html_text.h"
#include "platform/services.h"

namespace vellicor::ui {
namespace {

const QString kLinkScheme = QStringLiteral("vellicor-link");

// The declarations of one rule of a style sheet ("a:hover { ... }"), or empty.
QString declarationsOf(const QString& sheet, const QString& selector) {
    const QRegularExpression rule(QStringLiteral("(?:^|[}\\s])") +
                                  QRegularExpression::escape(selector) +
                                  QStringLiteral("\\s*\\{([^}]*)\\}"));
    const auto match = rule.match(sheet);
    return match.hasMatch() ? match.captured(1).trimmed() : QString();
}

QString decodeReferences(const QString& text) {
    return QString::fromStdString(unescapeHtml(text.toStdString()));
}

QString attribute(const QString& attributes, const QString& name) {
    const QRegularExpression pattern(
        QStringLiteral("\\b%1\\s*=\\s*(?:\"([^\"]*)\"|'([^']*)'|([^\\s>]+))").arg(name),
        QRegularExpression::CaseInsensitiveOption);
    const auto match = pattern.match(attributes);
    if (!match.hasMatch()) {
        return {};
    }
    for (int group = 1; group <= 3; ++group) {
        if (match.capturedStart(group) >= 0) {
            return decodeReferences(match.captured(group));
        }
    }
    return {};
}

QString firstAttribute(const QString& attributes, const QString& a, const QString& b) {
    const QString first = attribute(attributes, a);
    return first.isEmpty() ? attribute(attributes, b) : first;
}

}  // namespace

SimpleHtml::SimpleHtml(QWidget* parent) : QTextBrowser(parent) {
    setOpenLinks(false);
    setOpenExternalLinks(false);
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setLineWidth(1);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    connect(this, &QTextBrowser::anchorClicked, this, &SimpleHtml::onAnchor);
    connect(this, qOverload<const QUrl&>(&QTextBrowser::highlighted), this,
            &SimpleHtml::onHighlighted);
}

void SimpleHtml::setMarkup(const QString& markup) {
    markup_ = markup;
    render();
}

void SimpleHtml::setStyleSheetText(const QString& sheet) {
    // Qt's rich text knows no link pseudo-classes; their rules are applied to each link.
    linkStyle_ = declarationsOf(sheet, QStringLiteral("a:link"));
    hoverStyle_ = declarationsOf(sheet, QStringLiteral("a:hover"));
    document()->setDefaultStyleSheet(sheet);
    render();
}

void SimpleHtml::setBackground(const QColor& color) {
    QPalette palette = this->palette();
    palette.setColor(QPalette::Base, color);
    palette.setColor(QPalette::Window, color);
    setPalette(palette);
}

void SimpleHtml::render() {
    static const QRegularExpression anchor(QStringLiteral("<a\\b([^>]*)>"),
                                           QRegularExpression::CaseInsensitiveOption);
    links_.clear();
    QString html;
    qsizetype done = 0;
    auto it = anchor.globalMatch(markup_);
    while (it.hasNext()) {
        const auto match = it.next();
        const QString attributes = match.captured(1);
        Link link{firstAttribute(attributes, QStringLiteral("event"), QStringLiteral("msg")),
                  firstAttribute(attributes, QStringLiteral("href"), QStringLiteral("url"))};
        const int index = static_cast<int>(links_.size());
        const QString style =
            index == hovered_ ? linkStyle_ + QLatin1Char(';') + hoverStyle_ : linkStyle_;
        html += markup_.mid(done, match.capturedStart() - done);
        html += QStringLiteral("<a href=\"%1:%2\" style=\"%3\">")
                    .arg(kLinkScheme)
                    .arg(index)
                    .arg(QString::fromStdString(escapeHtml(style.toStdString())));
        done = match.capturedEnd();
        links_.push_back(std::move(link));
    }
    html += markup_.mid(done);
    html.remove(u'\r');
    const int scroll = verticalScrollBar()->value();
    setHtml(QStringLiteral("<div style=\"white-space: pre-wrap\">%1</div>").arg(html));
    verticalScrollBar()->setValue(scroll);
}

void SimpleHtml::clickLink(int index) {
    if (index < 0 || index >= linkCount()) {
        return;
    }
    // A copy: a handler may set new mark-up, which rebuilds the list.
    const Link link = links_[static_cast<std::size_t>(index)];
    if (!link.eventText.isEmpty()) {
        emit linkClicked(link.eventText);
        return;
    }
    if (!link.address.isEmpty() && opener_ != nullptr) {
        opener_->open(link.address.toStdString());
    }
}

void SimpleHtml::onAnchor(const QUrl& url) {
    if (url.scheme() == kLinkScheme) {
        clickLink(url.path().toInt());
    }
}

void SimpleHtml::onHighlighted(const QUrl& url) {
    const int hovered = url.scheme() == kLinkScheme ? url.path().toInt() : -1;
    if (hovered != hovered_) {
        hovered_ = hovered;
        render();
    }
}

}  // namespace vellicor::ui

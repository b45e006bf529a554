#pragma once
// The small mark-up box (the link panel). It draws its mark-up with its style sheet; line
// ends and runs of blanks show as written. Links follow the sheet's "a:link" rule and, while
// the pointer is over them, "a:hover" as well. A link with an "event" (or "msg") attribute
// raises linkClicked with that text and does nothing else; one with "href" (or "url") opens
// the address through the UrlOpener.

#include <QString>
#include <QTextBrowser>
#include <vector>

namespace vellicor {
class UrlOpener;
}

namespace vellicor::ui {

class SimpleHtml : public QTextBrowser {
    Q_OBJECT
  public:
    explicit SimpleHtml(QWidget* parent = nullptr);

    QString markup() const { return markup_; }
    void setMarkup(const QString& markup);
    void setStyleSheetText(const QString& sheet);
    void setBackground(const QColor& color);
    void setUrlOpener(UrlOpener* opener) { opener_ = opener; }

    // The link texts as drawn, in document order; for tests and the hover state.
    int linkCount() const { return static_cast<int>(links_.size()); }
    void clickLink(int index);  // acts as a click on that link would

  signals:
    void linkClicked(const QString& eventText);

  private:
    struct Link {
        QString eventText;  // set for event/msg links
        QString address;    // set for href/url links
    };
    void render();
    void onHighlighted(const QUrl& url);
    void onAnchor(const QUrl& url);

    QString markup_;
    QString linkStyle_;
    QString hoverStyle_;
    std::vector<Link> links_;
    UrlOpener* opener_ = nullptr;
    int hovered_ = -1;
};

}  // namespace vellicor::ui

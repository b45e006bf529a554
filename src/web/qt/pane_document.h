#pragma once
// The page document of a browser pane, and the elements in it.
//
// The browser engine runs page scripts in its own process, so every read and every action is
// asynchronous: it is sent to the page and its outcome comes back to the callback, always on
// the GUI thread and always exactly once (also when the pane is gone by then). Element
// lookups run in a script world of their own, so the page's scripts cannot fake or hide what
// the tool reads; runScript() runs in the page's own world, where its functions live.
//
// A document stands for the page that was in view when it was obtained. Once the pane starts
// loading another page, operations on it answer Stale: obtain the document again for the new
// page.

#include <QPointer>
#include <QString>
#include <QVariant>
#include <functional>
#include <optional>

class QWebEnginePage;
class QWebEngineView;

namespace vellicor::web {

struct DomReply {
    enum class Status {
        Done,
        NoElement,    // nothing matched: nothing was read, clicked or changed
        NoDocument,   // the frame has no document the tool may reach (none, or another origin)
        Stale,        // the pane has gone on to another page, or is gone
        ScriptError,  // the page threw; `value` holds its message
    };
    Status status = Status::Stale;
    QVariant value;
    bool ok() const { return status == Status::Done; }
};
using DomCallback = std::function<void(const DomReply&)>;

class PaneElement;

class PaneDocument {
  public:
    // Nothing before the pane has opened any page: that is not an error, there is no page yet.
    static std::optional<PaneDocument> of(QWebEngineView* pane);
    static std::optional<PaneDocument> of(QWebEnginePage* page);

    QString address() const { return address_; }
    // Still the page in view.
    bool current() const;

    // The element with that id, found through the document's `all` collection.
    PaneElement byId(const QString& id) const;
    // The index-th element of that tag name (getElementsByTagName).
    PaneElement byTag(const QString& tag, int index = 0) const;
    // The first element a CSS selector matches.
    PaneElement bySelector(const QString& selector) const;
    // The first element of that tag whose text holds `text`.
    PaneElement byText(const QString& tag, const QString& text) const;
    // How many elements of that tag the document has.
    void countTag(const QString& tag, const DomCallback& done) const;

    // The document of the index-th frame (window.frames). Frames of another origin answer
    // NoDocument: the browser keeps their documents from the tool as from any page.
    PaneDocument frame(int index) const;
    void frameCount(const DomCallback& done) const;

    // Runs a script in the page's own world; its last value comes back.
    void runScript(const QString& script, const DomCallback& done) const;

  private:
    friend class PaneElement;
    PaneDocument(QWebEnginePage* page, quint64 generation, QString address, QString root);
    // Runs `body` (statements with `d`, the document, in scope) in the tool's world.
    void run(const QString& body, const DomCallback& done) const;

    QPointer<QWebEnginePage> page_;
    quint64 generation_ = 0;
    QString address_;
    QString root_;  // script expression that yields the document
};

class PaneElement {
  public:
    void exists(const DomCallback& done) const;
    void value(const DomCallback& done) const;
    // Sets the value and fires the input and change events a typing user would cause.
    void setValue(const QString& value, const DomCallback& done = {}) const;
    void checked(const DomCallback& done) const;
    void setChecked(bool on, const DomCallback& done = {}) const;
    void text(const DomCallback& done) const;
    void click(const DomCallback& done = {}) const;
    // The first element matching a CSS selector inside this element's form.
    PaneElement inForm(const QString& selector) const;
    // Submits the element's form (or the element, when it is a form) without its own
    // submit handlers, as a script's form.submit() does.
    void submit(const DomCallback& done = {}) const;

  private:
    friend class PaneDocument;
    PaneElement(PaneDocument document, QString locator);
    void act(const QString& statements, const DomCallback& done) const;

    PaneDocument document_;
    QString locator_;  // script expression that yields the element or null, `d` in scope
};

// A text as a script string literal.
QString scriptString(const QString& text);

}  // namespace vellicor::web

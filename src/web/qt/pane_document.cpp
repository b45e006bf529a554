#include "web/qt/pane_document.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineView>
#include <utility>

namespace vellicor::web {
namespace {

// Kept on the page itself: how many loads it has started, so a document knows it is stale.
constexpr const char* kGeneration = "vellicorDocumentGeneration";
constexpr const char* kTracked = "vellicorDocumentTracked";

quint64 generationOf(QWebEnginePage* page) {
    if (!page->property(kTracked).toBool()) {
        page->setProperty(kTracked, true);
        page->setProperty(kGeneration, quint64{0});
        QObject::connect(page, &QWebEnginePage::loadStarted, page, [page] {
            page->setProperty(kGeneration, page->property(kGeneration).toULongLong() + 1);
        });
    }
    return page->property(kGeneration).toULongLong();
}

// Replies that need no page are still delivered later, like every other reply.
void deliverLater(const DomCallback& done, DomReply reply) {
    if (done) {
        QTimer::singleShot(0, QCoreApplication::instance(),
                           [done, reply = std::move(reply)] { done(reply); });
    }
}

DomReply replyOf(const QVariant& result) {
    if (!result.isValid()) {
        return {DomReply::Status::Stale, {}};
    }
    const QVariantMap map = result.toMap();
    const QString s = map.value(QStringLiteral("s")).toString();
    const QVariant v = map.value(QStringLiteral("v"));
    if (s == QLatin1String("ok")) {
        return {DomReply::Status::Done, v};
    }
    if (s == QLatin1String("none")) {
        return {DomReply::Status::NoElement, {}};
    }
    if (s == QLatin1String("nodoc")) {
        return {DomReply::Status::NoDocument, {}};
    }
    return {DomReply::Status::ScriptError, v};
}

QString ok(const QString& value) {
    return QStringLiteral("return {s:'ok',v:%1};").arg(value);
}

}  // namespace

QString scriptString(const QString& text) {
    const QByteArray json = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(json.mid(1, json.size() - 2));
}

std::optional<PaneDocument> PaneDocument::of(QWebEngineView* pane) {
    return pane == nullptr ? std::nullopt : of(pane->page());
}

std::optional<PaneDocument> PaneDocument::of(QWebEnginePage* page) {
    if (page == nullptr || page->url().isEmpty()) {
        return std::nullopt;
    }
    return PaneDocument(page, generationOf(page), QString::fromUtf8(page->url().toEncoded()),
                        QStringLiteral("document"));
}

PaneDocument::PaneDocument(QWebEnginePage* page, quint64 generation, QString address, QString root)
    : page_(page), generation_(generation), address_(std::move(address)), root_(std::move(root)) {}

bool PaneDocument::current() const {
    return !page_.isNull() && generationOf(page_.data()) == generation_;
}

PaneElement PaneDocument::byId(const QString& id) const {
    const QString q = scriptString(id);
    return PaneElement(*this, QStringLiteral("(function(){var e=null;"
                                             "try{e=d.all.namedItem(%1);}catch(x){}"
                                             "if(e&&!e.tagName&&e.length){e=e[0];}"
                                             "return e||d.getElementById(%1);})()")
                                  .arg(q));
}

PaneElement PaneDocument::byTag(const QString& tag, int index) const {
    return PaneElement(*this, QStringLiteral("(d.getElementsByTagName(%1)[%2]||null)")
                                  .arg(scriptString(tag), QString::number(index)));
}

PaneElement PaneDocument::bySelector(const QString& selector) const {
    return PaneElement(*this,
                       QStringLiteral("(d.querySelector(%1)||null)").arg(scriptString(selector)));
}

PaneElement PaneDocument::byText(const QString& tag, const QString& text) const {
    return PaneElement(*this, QStringLiteral("(function(){var l=d.getElementsByTagName(%1);"
                                             "for(var i=0;i<l.length;i++){"
                                             "var t=l[i].innerText||l[i].textContent||'';"
                                             "if(t.indexOf(%2)>=0){return l[i];}}"
                                             "return null;})()")
                                  .arg(scriptString(tag), scriptString(text)));
}

void PaneDocument::countTag(const QString& tag, const DomCallback& done) const {
    run(ok(QStringLiteral("d.getElementsByTagName(%1).length").arg(scriptString(tag))), done);
}

PaneDocument PaneDocument::frame(int index) const {
    // A frame of another origin throws on access; it then simply has no document for us.
    const QString root = QStringLiteral(
                             "(function(){try{var p=%1;"
                             "return p?p.defaultView.frames[%2].document:null;}"
                             "catch(x){return null;}})()")
                             .arg(root_, QString::number(index));
    return PaneDocument(page_.data(), generation_, address_, root);
}

void PaneDocument::frameCount(const DomCallback& done) const {
    run(ok(QStringLiteral("d.defaultView.frames.length")), done);
}

void PaneDocument::runScript(const QString& script, const DomCallback& done) const {
    if (!current()) {
        deliverLater(done, {DomReply::Status::Stale, {}});
        return;
    }
    QPointer<QWebEnginePage> page = page_;
    page_->runJavaScript(script, QWebEngineScript::MainWorld, [page, done](const QVariant& v) {
        if (done) {
            done(page.isNull() ? DomReply{DomReply::Status::Stale, {}}
                               : DomReply{DomReply::Status::Done, v});
        }
    });
}

void PaneDocument::run(const QString& body, const DomCallback& done) const {
    if (!current()) {
        deliverLater(done, {DomReply::Status::Stale, {}});
        return;
    }
    const QString script = QStringLiteral(
                               "(function(){try{var d=%1;"
                               "if(!d){return {s:'nodoc'};}%2"
                               "}catch(x){return {s:'error',v:String(x)};}})()")
                               .arg(root_, body);
    page_->runJavaScript(script, QWebEngineScript::ApplicationWorld, [done](const QVariant& v) {
        if (done) {
            done(replyOf(v));
        }
    });
}

PaneElement::PaneElement(PaneDocument document, QString locator)
    : document_(std::move(document)), locator_(std::move(locator)) {}

void PaneElement::act(const QString& statements, const DomCallback& done) const {
    document_.run(QStringLiteral("var e=%1;if(!e){return {s:'none'};}%2").arg(locator_, statements),
                  done);
}

void PaneElement::exists(const DomCallback& done) const {
    act(ok(QStringLiteral("true")), done);
}

void PaneElement::value(const DomCallback& done) const {
    act(ok(QStringLiteral("(e.value===undefined?null:e.value)")), done);
}

void PaneElement::setValue(const QString& value, const DomCallback& done) const {
    act(QStringLiteral("e.value=%1;"
                       "e.dispatchEvent(new Event('input',{bubbles:true}));"
                       "e.dispatchEvent(new Event('change',{bubbles:true}));")
                .arg(scriptString(value)) +
            ok(QStringLiteral("e.value")),
        done);
}

void PaneElement::checked(const DomCallback& done) const {
    act(ok(QStringLiteral("!!e.checked")), done);
}

void PaneElement::setChecked(bool on, const DomCallback& done) const {
    act(QStringLiteral("e.checked=%1;e.dispatchEvent(new Event('change',{bubbles:true}));")
                .arg(on ? QStringLiteral("true") : QStringLiteral("false")) +
            ok(QStringLiteral("!!e.checked")),
        done);
}

void PaneElement::text(const DomCallback& done) const {
    act(ok(QStringLiteral("(e.innerText||e.textContent||'')")), done);
}

void PaneElement::click(const DomCallback& done) const {
    act(QStringLiteral("e.click();") + ok(QStringLiteral("true")), done);
}

PaneElement PaneElement::inForm(const QString& selector) const {
    return PaneElement(document_, QStringLiteral("(function(){var b=%1;"
                                                 "var f=b&&(b.form||b.closest('form'));"
                                                 "return f?f.querySelector(%2):null;})()")
                                      .arg(locator_, scriptString(selector)));
}

void PaneElement::submit(const DomCallback& done) const {
    act(QStringLiteral("var f=(e.tagName==='FORM')?e:e.form;if(!f){return {s:'none'};}"
                       "HTMLFormElement.prototype.submit.call(f);") +
            ok(QStringLiteral("true")),
        done);
}

}  // namespace vellicor::web

#include "platform/qt/edit_box.h"

#include <QKeyEvent>
#include <QMimeData>
#include <QScrollBar>
#include <QTextCursor>
#include <QThread>
#include <QVBoxLayout>
#include <QValidator>

namespace vellicor::ui {
namespace {

bool isAllowedDigit(QChar c) {
    return (c >= u'0' && c <= u'9') || c == u'-';
}

QString toQtLines(QString text) {
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(u'\r', u'\n');
    return text;
}

QString toCrlf(QString text) {
    text.replace(u'\n', QStringLiteral("\r\n"));
    return text;
}

// Strips refused characters from whatever the line edit is about to hold, so typed, pasted
// and dropped text are filtered alike (a validator sees every user change).
class DigitsValidator : public QValidator {
  public:
    using QValidator::QValidator;
    State validate(QString& input, int& pos) const override {
        const QString kept = digitsOnly(input);
        if (kept != input) {
            pos = static_cast<int>(digitsOnly(input.left(pos)).size());
            input = kept;
        }
        return Acceptable;
    }
};

// The many-line editor: the same filter for typed and inserted text.
class PlainEditor : public QPlainTextEdit {
  public:
    using QPlainTextEdit::QPlainTextEdit;
    bool filterDigits = false;

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        const QString typed = event->text();
        const bool printable = !typed.isEmpty() && typed.at(0).unicode() >= 32;
        const bool shortcut = event->modifiers() & (Qt::ControlModifier | Qt::AltModifier);
        if (filterDigits && printable && !shortcut && digitsOnly(typed) != typed) {
            event->accept();
            return;
        }
        QPlainTextEdit::keyPressEvent(event);
    }
    void insertFromMimeData(const QMimeData* source) override {
        if (!filterDigits) {
            QPlainTextEdit::insertFromMimeData(source);
            return;
        }
        insertPlainText(digitsOnly(source->text()));
    }
};

}  // namespace

QString digitsOnly(const QString& text) {
    QString kept;
    kept.reserve(text.size());
    for (QChar c : text) {
        if (isAllowedDigit(c)) {
            kept.append(c);
        }
    }
    return kept;
}

EditBox::EditBox(const EditBoxOptions& options, QWidget* parent)
    : QWidget(parent), mode_(options.mode) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    if (options.multiLine) {
        text_ = new PlainEditor(this);
        text_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        text_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
        connect(text_, &QPlainTextEdit::textChanged, this, [this] {
            if (!writing_) {
                emit contentChanged();
            }
        });
        layout->addWidget(text_);
        setFocusProxy(text_);
    } else {
        line_ = new QLineEdit(this);
        line_->setAlignment(options.alignment | Qt::AlignVCenter);
        line_->setFrame(true);
        connect(line_, &QLineEdit::textEdited, this, [this] { emit contentChanged(); });
        layout->addWidget(line_);
        setFocusProxy(line_);
    }
    setMaxLength(options.maxLength);
    applyMode();
}

QWidget* EditBox::editor() const {
    return line_ != nullptr ? static_cast<QWidget*>(line_) : static_cast<QWidget*>(text_);
}

QString EditBox::content() const {
    return line_ != nullptr ? line_->text() : toCrlf(text_->toPlainText());
}

void EditBox::setContent(const QString& text) {
    writing_ = true;
    if (line_ != nullptr) {
        // The logic's own writes are not filtered, only the user's input.
        const QValidator* validator = line_->validator();
        line_->setValidator(nullptr);
        line_->setText(text);
        line_->setValidator(validator);
    } else {
        text_->setPlainText(toQtLines(text));
    }
    writing_ = false;
}

void EditBox::setMaxLength(int characters) {
    maxLength_ = characters > 0 ? characters : 0;
    if (line_ != nullptr) {
        line_->setMaxLength(maxLength_ > 0 ? maxLength_ : 32767);
    }
}

void EditBox::setInputMode(InputMode mode) {
    mode_ = mode;
    applyMode();
}

void EditBox::applyMode() {
    const bool readOnly = mode_ == InputMode::ReadOnly;
    const bool digits = mode_ == InputMode::DigitsOnly;
    if (line_ != nullptr) {
        line_->setReadOnly(readOnly);
        line_->setEchoMode(mode_ == InputMode::Password ? QLineEdit::Password : QLineEdit::Normal);
        line_->setStyleSheet(mode_ == InputMode::Password
                                 ? QStringLiteral("QLineEdit { lineedit-password-character: 42; }")
                                 : QString());
        if (digits && line_->validator() == nullptr) {
            line_->setValidator(new DigitsValidator(line_));
        } else if (!digits && line_->validator() != nullptr) {
            const QValidator* old = line_->validator();
            line_->setValidator(nullptr);
            delete old;
        }
        return;
    }
    text_->setReadOnly(readOnly);
    static_cast<PlainEditor*>(text_)->filterDigits = digits;
}

void EditBox::append(const QString& text) {
    if (QThread::currentThread() == thread()) {
        appendHere(text);
        return;
    }
    QMetaObject::invokeMethod(
        this, [this, text] { appendHere(text); }, Qt::QueuedConnection);
}

void EditBox::appendHere(const QString& text) {
    writing_ = true;
    if (line_ != nullptr) {
        line_->setText(line_->text() + text);
        line_->end(false);
    } else {
        // A cursor of its own puts the text at the end whatever the user has selected.
        QTextCursor cursor(text_->document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(toQtLines(text));
        text_->setTextCursor(cursor);
        text_->ensureCursorVisible();
        text_->verticalScrollBar()->setValue(text_->verticalScrollBar()->maximum());
    }
    writing_ = false;
}

}  // namespace vellicor::ui

#include "platform/qt/edit_box.h"

#include <QKeyEvent>
#include <QMimeData>
#include <QScrollBar>
#include <QTextCursor>
#include <QThread>
#include <QVBoxLayout>
#include <QValidator>
#include <algorithm>

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

}  // namespace

// Every change the user makes to a line edit passes here (typed, pasted and dropped text
// alike): refused characters are stripped, then what goes past the limit is cut from the
// text just inserted, the part before the cursor. The logic's own writes bypass it.
class InputValidator : public QValidator {
  public:
    using QValidator::QValidator;
    bool digits = false;
    int maxLength = 0;

    State validate(QString& input, int& pos) const override {
        if (digits) {
            const QString kept = digitsOnly(input);
            if (kept != input) {
                pos = static_cast<int>(digitsOnly(input.left(pos)).size());
                input = kept;
            }
        }
        if (maxLength > 0 && input.size() > maxLength) {
            const int excess = static_cast<int>(input.size()) - maxLength;
            const int from = std::max(pos - excess, 0);
            input.remove(from, excess);
            pos = from;
        }
        return Acceptable;
    }
};

namespace {

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
        line_->setMaxLength(32767);
        validator_ = new InputValidator(line_);
        line_->setValidator(validator_);
        line_->setAlignment(options.alignment | Qt::AlignVCenter);
        line_->setFrame(true);
        // A refused character still counts as an edit to Qt; only a real change is one here.
        connect(line_, &QLineEdit::textEdited, this, [this](const QString& text) {
            if (text != lineBefore_) {
                lineBefore_ = text;
                emit contentChanged();
            }
        });
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
        writeLine(text);
    } else {
        text_->setPlainText(toQtLines(text));
    }
    writing_ = false;
}

void EditBox::setMaxLength(int characters) {
    maxLength_ = characters > 0 ? characters : 0;
    if (validator_ != nullptr) {
        validator_->maxLength = maxLength_;
    }
}

// The limit and the filter hold for the user only: the logic writes what it likes.
void EditBox::writeLine(const QString& text) {
    line_->setValidator(nullptr);
    line_->setText(text);
    line_->setValidator(validator_);
    lineBefore_ = line_->text();
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
        validator_->digits = digits;
        return;
    }
    text_->setReadOnly(readOnly);
    static_cast<PlainEditor*>(text_)->filterDigits = digits;
}

void EditBox::setMaxLines(int lines) {
    if (text_ != nullptr) {
        text_->setMaximumBlockCount(std::max(lines, 0));
        // A bounded box must not keep an unbounded history of what went in.
        text_->setUndoRedoEnabled(lines <= 0);
    }
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
        writeLine(line_->text() + text);
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

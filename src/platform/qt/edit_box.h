#pragma once
// The edit box kind: one line (QLineEdit) or many (QPlainTextEdit, the log box).
//
// - content() reads and setContent() replaces the whole text; contents use CRLF line ends
//   whatever Qt keeps inside.
// - contentChanged is raised for the user's edits only (typing, pasting, dropping), never for
//   setContent() or append().
// - Digits-only boxes filter every way text gets in from the user: typed characters, pasted
//   and dropped text. Control keys pass.
// - append() may be called from any thread: each text goes in whole at the end, whatever the
//   user has selected, carried out on the box's own thread, and the box scrolls to it.

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QString>
#include <QWidget>

namespace vellicor::ui {

class InputValidator;

enum class InputMode { Normal, ReadOnly, Password, DigitsOnly };

struct EditBoxOptions {
    bool multiLine = false;
    InputMode mode = InputMode::Normal;
    int maxLength = 0;  // characters the user may type; 0 (or negative) for no limit
    Qt::Alignment alignment = Qt::AlignLeft;
    bool sunken = false;  // sunken frame rather than a single line
};

// Drops what a digits-only box refuses: any character other than 0-9 and the minus sign.
QString digitsOnly(const QString& text);

class EditBox : public QWidget {
    Q_OBJECT
  public:
    explicit EditBox(const EditBoxOptions& options, QWidget* parent = nullptr);

    QString content() const;
    void setContent(const QString& text);

    int maxLength() const { return maxLength_; }
    void setMaxLength(int characters);
    InputMode inputMode() const { return mode_; }
    void setInputMode(InputMode mode);
    bool multiLine() const { return text_ != nullptr; }

    // Thread-safe; see the header comment.
    void append(const QString& text);
    // Many-line boxes only: the oldest lines go once there are more (0: no limit).
    void setMaxLines(int lines);

    // The Qt editor inside, for focus and tests: a QLineEdit or a QPlainTextEdit.
    QWidget* editor() const;

  signals:
    void contentChanged();

  private:
    void appendHere(const QString& text);
    void applyMode();
    void writeLine(const QString& text);

    QLineEdit* line_ = nullptr;
    InputValidator* validator_ = nullptr;
    QString lineBefore_;  // the line's text after the last change
    QPlainTextEdit* text_ = nullptr;
    InputMode mode_ = InputMode::Normal;
    int maxLength_ = 0;
    bool writing_ = false;
};

}  // namespace vellicor::ui

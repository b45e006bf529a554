#pragma once
// The three fields of the set time and the rule each applies to what the user types.

#include <optional>
#include <string>
#include <string_view>

namespace vellicor::schedule {

enum class Field { Hour, Minute, Second };

// The field's own word ("小时", "分钟", "秒"): the caption of its range warning.
std::string_view fieldWord(Field field);
// "输入范围 0 - 23,24 即为 0" for the hour, the 59/60 text for minute and second.
std::string_view rangeText(Field field);

struct RangeWarning {
    std::string caption;  // the field's word
    std::string text;     // the range text
};

// What the window does after an edit: put other content into the field; say the range.
struct FieldChange {
    std::optional<std::string> replaceText;
    // Set while the content is out of range. The field keeps what was typed: a box that took
    // the keyboard in mid-typing would swallow the keys that follow, so the window says it
    // without taking the focus, and "定" refuses to arm until the field is mended.
    std::optional<RangeWarning> outOfRange;
};

// One time field. Its value is that of the last content that was a valid value: typing the
// value that counts as 0 (24 or 60) turns the content into "00"; anything else that is not a
// value of the range (above it, negative) leaves the content as typed, the value as it was,
// and the field out of range until the next edit. An empty field counts as 0 while it stays
// empty.
class TimeField {
  public:
    TimeField(Field field, std::string initialText);

    // Applies the rule to the content the user has just produced.
    FieldChange edited(std::string_view text);

    Field field() const { return field_; }
    int value() const { return value_; }
    // The last valid content.
    const std::string& text() const { return text_; }
    // The range text while the content typed last is out of range.
    std::optional<RangeWarning> outOfRange() const;

  private:
    Field field_;
    std::string text_;
    int value_ = 0;
    bool outOfRange_ = false;
};

}  // namespace vellicor::schedule

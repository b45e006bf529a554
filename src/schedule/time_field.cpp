#include "schedule/time_field.h"

namespace vellicor::schedule {
namespace {

// The value that wraps to 0: one past the top of the range.
int wrapValue(Field field) {
    return field == Field::Hour ? 24 : 60;
}

// The number the text spells, or nothing when it is not a plain run of at most two digits.
std::optional<int> digitsValue(std::string_view text) {
    if (text.empty() || text.size() > 2) {
        return std::nullopt;
    }
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

std::string_view fieldWord(Field field) {
    switch (field) {
        case Field::Hour:
            return "小时";
        case Field::Minute:
            return "分钟";
        case Field::Second:
            break;
    }
    return "秒";
}

std::string_view rangeText(Field field) {
    return field == Field::Hour ? "输入范围 0 - 23,24 即为 0" : "输入范围 0 - 59,60 即为 0";
}

TimeField::TimeField(Field field, std::string initialText) : field_(field) {
    (void)edited(initialText);
    text_ = std::move(initialText);
}

FieldChange TimeField::edited(std::string_view text) {
    outOfRange_ = false;
    if (text.empty()) {
        text_.clear();
        value_ = 0;
        return {};
    }
    const auto value = digitsValue(text);
    if (value && *value < wrapValue(field_)) {
        text_ = std::string(text);
        value_ = *value;
        return {};
    }
    if (value && *value == wrapValue(field_)) {
        text_ = "00";
        value_ = 0;
        return {text_, std::nullopt};
    }
    outOfRange_ = true;
    return {std::nullopt, outOfRange()};
}

std::optional<RangeWarning> TimeField::outOfRange() const {
    if (!outOfRange_) {
        return std::nullopt;
    }
    return RangeWarning{std::string(fieldWord(field_)), std::string(rangeText(field_))};
}

}  // namespace vellicor::schedule

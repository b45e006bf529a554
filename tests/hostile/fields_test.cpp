// Whatever reaches the worker field and the three time fields, typed or pasted past the
// window's digit filter: a value in range, or a refusal that keeps what was valid.

#include <gtest/gtest.h>

#include "mall/run_input.h"
#include "schedule/time_field.h"

namespace vellicor {
namespace {

using schedule::Field;

// Pasted text often brings a line end or a blank; other scripts' digits and stray bytes are
// no numbers for the mall.
TEST(HostileFields, ThreadFieldTakesOnlyAPlainCount) {
    struct Case {
        std::string text;
        int value;  // 0: refused
    } cases[] = {
        {"50\r\n", 50},
        {"\t50", 50},
        {std::string("5\0", 2), 0},
        {"\xff\xfe", 0},
        {"0x10", 0},
        {"1e3", 0},
        {"50 50", 0},
        {"٥٠", 0},
        {"2147483648", 0},
        {"-0", 0},
        {"00000000000000000000000050", 50},
        {"5\r\n0", 0},
    };
    for (const auto& c : cases) {
        const auto got = mall::parseWorkerCount(c.text, 1000);
        EXPECT_EQ(got.ok() ? *got : 0, c.value) << c.text;
        if (!got.ok()) {
            EXPECT_EQ(got.error().message.find_first_of(std::string_view("\r\n\0", 3)),
                      std::string::npos)
                << "one refusal line: " << got.error().message;
        }
    }
}

TEST(HostileFields, TimeFieldsKeepTheLastValidContent) {
    struct Case {
        Field field;
        std::string pasted;
        int value;  // after the edit; the field held 11 before
        bool warns;
    } cases[] = {
        {Field::Hour, "12:30", 11, true},
        {Field::Hour, "1\n2", 11, true},
        {Field::Hour, "０", 11, true},
        {Field::Minute, "٣", 11, true},
        {Field::Minute, "\xff", 11, true},
        {Field::Minute, std::string("3\0", 2), 11, true},
        {Field::Second, "2147483648", 11, true},
        {Field::Second, "99999999999999999999999", 11, true},
        {Field::Second, "+1", 11, true},
        {Field::Second, " 5", 11, true},
        {Field::Hour, "0023", 11, true},
        {Field::Minute, "05", 5, false},
    };
    for (const auto& c : cases) {
        schedule::TimeField f(c.field, "11");
        const auto change = f.edited(c.pasted);
        EXPECT_EQ(f.value(), c.value) << c.pasted;
        EXPECT_EQ(change.outOfRange.has_value(), c.warns) << c.pasted;
        EXPECT_EQ(f.outOfRange().has_value(), c.warns) << c.pasted;
        if (c.warns) {
            // Left as pasted for the user to mend; the value stays the last valid one.
            EXPECT_FALSE(change.replaceText) << c.pasted;
            EXPECT_EQ(f.text(), "11") << c.pasted;
        }
    }
}

}  // namespace
}  // namespace vellicor

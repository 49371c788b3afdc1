// KelValue and the calendar values: text of every kind, typed access and its errors.
#include "host/KelException.hpp"
#include "host/KelValue.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {
std::string text(const KelValue& value) { return value.valueAsCharacter().toUtf8(); }

template <class T>
KelValue valueOf(const T& v) {
    KelValue value;
    value.setValue(v);
    return value;
}
} // namespace

TEST(KelValueTest, CalendarValuesRenderAsIso8601) {
    EXPECT_EQ((KelDate{33, 1, 2}).toIso(), "0033-01-02");
    EXPECT_EQ((KelTime{10, 11, 12, 250000}).toIso(), "10:11:12.250");   // milliseconds when exact
    EXPECT_EQ((KelTime{23, 59, 59, 1}).toIso(), "23:59:59.000001");
    KelTimeStamp stamp{{1999, 12, 31}, {23, 59, 58, 500000}};
    EXPECT_EQ(stamp.toIso(), "1999-12-31T23:59:58.500");
}

TEST(KelValueTest, EveryKindRendersAsCharacter) {
    EXPECT_EQ(text(KelValue()), "");
    EXPECT_TRUE(KelValue().isNull());

    EXPECT_EQ(text(KelValue::createCharacter(KelStringBase(u"caf\u00E9"))), "caf\xC3\xA9");
    EXPECT_EQ(text(valueOf(true)), "true");
    EXPECT_EQ(text(valueOf(false)), "false");
    EXPECT_EQ(text(valueOf(-42)), "-42");
    EXPECT_EQ(text(valueOf(std::numeric_limits<std::int64_t>::min())), "-9223372036854775808");
    EXPECT_EQ(text(valueOf(std::int64_t{1234567890123})), "1234567890123");

    // Doubles: the shortest text that reads back to the same number.
    EXPECT_EQ(text(valueOf(0.1)), "0.1");
    EXPECT_EQ(text(valueOf(2.5)), "2.5");
    EXPECT_EQ(text(valueOf(1e21)), "1e+21");
    const double third = 1.0 / 3.0;
    EXPECT_EQ(std::stod(text(valueOf(third))), third);

    KelValue bytes;
    const unsigned char raw[] = {0x00, 0x0F, 0xA5, 0xFF};
    bytes.setBytes(raw, sizeof raw);
    EXPECT_EQ(bytes.kind(), KelValueKind::Bytes);
    EXPECT_EQ(text(bytes), "000FA5FF");

    EXPECT_EQ(text(valueOf(KelDate{2026, 12, 7})), "2026-12-07");
    EXPECT_EQ(text(valueOf(KelTime{10, 11, 12, 250000})), "10:11:12.250");
    KelGmtTime gmt;
    gmt.hour = 1;
    EXPECT_EQ(text(valueOf(gmt)), "01:00:00Z");
    EXPECT_EQ(valueOf(gmt).kind(), KelValueKind::GmtTime);
    KelTimeStamp stamp{{2001, 9, 8}, {7, 6, 5, 0}};
    EXPECT_EQ(text(valueOf(stamp)), "2001-09-08T07:06:05");
    KelGmtTimeStamp gmtStamp;
    gmtStamp.date = stamp.date;
    gmtStamp.time = stamp.time;
    EXPECT_EQ(text(valueOf(gmtStamp)), "2001-09-08T07:06:05Z");
    EXPECT_EQ(valueOf(gmtStamp).kind(), KelValueKind::GmtTimeStamp);
}

TEST(KelValueTest, TypedReadersReturnTheirKindAndRefuseOthers) {
    KelValue number = valueOf(7);
    EXPECT_EQ(number.intValue(), 7);
    EXPECT_THROW(number.int64Value(), KelRecoverableException);
    EXPECT_THROW(number.doubleValue(), KelRecoverableException);

    KelValue character(KelStringBase(u"abc"));
    EXPECT_EQ(character.characterValue(), KelStringBase(u"abc"));
    EXPECT_THROW(character.boolValue(), KelRecoverableException);

    try {
        number.characterValue();
        FAIL() << "characterValue of an int value did not throw";
    } catch (const KelRecoverableException& e) {
        EXPECT_EQ(e.catalogueNumber(), 2335u);
        EXPECT_EQ(e.function(), "KelValue::characterValue");
        ASSERT_FALSE(e.inserts().empty());
        EXPECT_EQ(e.inserts().front(), "Int");   // names the kind actually held
    }
    EXPECT_THROW(KelValue().characterValue(), KelRecoverableException);

    // The time kinds are distinct: a GMT time is not a local time.
    KelGmtTime gmt;
    EXPECT_NO_THROW(valueOf(gmt).gmtTimeValue());
    EXPECT_THROW(valueOf(gmt).timeValue(), KelRecoverableException);
    EXPECT_EQ(valueOf(KelDate{2020, 1, 2}).dateValue(), (KelDate{2020, 1, 2}));
}

TEST(KelValueTest, CopyDeleteAndEquality) {
    KelValue a(KelStringBase(u"a text long enough to live on the heap"));
    KelValue b;
    b.copyValue(a);
    EXPECT_EQ(a, b);
    // A character value shares its string's block rather than copying it.
    EXPECT_EQ(a.characterValue().data(), b.characterValue().data());
    b.deleteValue();
    EXPECT_TRUE(b.isNull());
    EXPECT_NE(a, b);
    EXPECT_EQ(a.characterValue().referenceCount(), 1u);

    EXPECT_NE(valueOf(1), valueOf(std::int64_t{1}));   // same number, different kinds
    EXPECT_EQ(valueOf(1.5), valueOf(1.5));
    KelValue copy;
    copy.setValue(valueOf(true));
    EXPECT_TRUE(copy.boolValue());
}

// A parser sets character values straight into place and appends the rest of a text in place:
// from every kind held before, short and long texts, a text taken from the value itself, and a
// block shared with a copy, which must keep its own text.
TEST(KelValueTest, CharactersSetAndAppendedInPlace) {
    const std::u16string longText = u"a text long enough to live on the heap";
    KelValue bytes;
    const unsigned char someBytes[] = {1, 2, 3};
    bytes.setBytes(someBytes, sizeof someBytes);
    struct Case {
        const char* what;
        KelValue start;
        const char16_t* set;   // may be null
        std::size_t setLength;
        std::u16string append;
        std::u16string expected;
    };
    const Case cases[] = {
        {"null, short", KelValue(), u"Widget ", 7, u"&", u"Widget &"},
        {"null, grows past the inline units", KelValue(), u"Widget ", 7, u" part 1234567890", u"Widget  part 1234567890"},
        {"null, long", KelValue(), longText.data(), longText.size(), u"!", longText + u"!"},
        {"int before", valueOf(7), u"7", 1, u"", u"7"},
        {"bytes before", bytes, u"ab", 2, u"c", u"abc"},
        {"short string before", KelValue(KelStringBase(u"old")), u"new", 3, u"er", u"newer"},
        {"long string before, set short", KelValue(KelStringBase(longText)), u"x", 1, u"y", u"xy"},
        {"long string before, set long", KelValue(KelStringBase(longText)), longText.data() + 1, longText.size() - 1,
         u"", longText.substr(1)},
        {"null text", KelValue(KelStringBase(u"old")), nullptr, 5, u"z", u"z"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        KelValue value = c.start;
        const KelValue before = value;   // shares a long string's block
        value.setCharacters(c.set, c.setLength);
        value.appendCharacters(c.append.data(), c.append.size());
        ASSERT_TRUE(value.isCharacter());
        EXPECT_EQ(value.characterValue().view(), c.expected);
        EXPECT_EQ(before, c.start);   // the copy taken before keeps what it had
    }

    // A text taken from the value itself, set and appended.
    KelValue self{KelStringBase(longText)};
    self.setCharacters(self.characterValue().data() + 2, 4);
    EXPECT_EQ(self.characterValue().view(), u"text");
    self.appendCharacters(self.characterValue().data(), self.characterValue().length());
    EXPECT_EQ(self.characterValue().view(), u"texttext");
    KelValue longSelf{KelStringBase(longText)};
    longSelf.appendCharacters(longSelf.characterValue().data(), longSelf.characterValue().length());
    EXPECT_EQ(longSelf.characterValue().view(), longText + longText);

    // Appending to anything but a character value is refused as reading its text is, and the
    // value stays.
    for (const KelValue& kept : {KelValue(), valueOf(3), valueOf(2.5)}) {
        KelValue other = kept;
        try {
            other.appendCharacters(u"x", 1);
            ADD_FAILURE() << "appending to a value of kind " << static_cast<int>(kept.kind()) << " did not throw";
        } catch (const KelRecoverableException& e) {
            EXPECT_EQ(e.catalogueNumber(), 2335u);
        }
        EXPECT_EQ(other, kept);
    }
}

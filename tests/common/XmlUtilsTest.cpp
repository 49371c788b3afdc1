// The encoding and text utilities: encoding names for the scanner, escaping, case mapping, byte
// swapping, number formatting, the encoding-value fields and the code-page conversions (including
// that no conversion writes past the buffer it is given).
#include "common/XmlUtils.hpp"

#include "host/KelException.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

KelStringBase u16(std::u16string_view text) { return KelStringBase(text); }

std::string encodingName(long ccsid, long encoding, std::vector<unsigned char> data,
                         const char* before = "") {
    XmlUtils utils;
    KelStringBase out = KelStringBase::fromAscii(before);
    utils.BuildEncodingString(out, ccsid, encoding, data.empty() ? nullptr : data.data(),
                              static_cast<long>(data.size()));
    return out.toUtf8();
}

std::string narrow(const unsigned short* text) {
    std::string result;
    for (; *text != 0; ++text) {
        result += static_cast<char>(*text);
    }
    return result;
}

// A buffer with a guard region after the part handed to the code under test.
struct GuardedBuffer {
    static constexpr char kGuard = '\x5A';
    explicit GuardedBuffer(std::size_t usableBytes, std::size_t guard = 32)
        : bytes(usableBytes + guard, kGuard), usable(usableBytes) {}
    char* data() { return bytes.data(); }
    bool guardIntact() const {
        for (std::size_t i = usable; i < bytes.size(); ++i) {
            if (bytes[i] != kGuard) return false;
        }
        return true;
    }
    std::vector<char> bytes;
    std::size_t usable;
};

} // namespace

// ---------------------------------------------------------------------------------------------
// BuildEncodingString

TEST(XmlUtilsEncodingName, Utf16WithByteOrderMarkLeavesTheNameAlone) {
    for (long ccsid : {1200L, 13488L, 17584L}) {
        SCOPED_TRACE(ccsid);
        EXPECT_EQ(encodingName(ccsid, 546, {0xFF, 0xFE, '<', 0}), "");
        EXPECT_EQ(encodingName(ccsid, 273, {0xFE, 0xFF, 0, '<'}, "keep"), "keep");
        EXPECT_EQ(encodingName(ccsid, 0, {0xFF, 0xFE}, "keep"), "keep");
    }
}

TEST(XmlUtilsEncodingName, Utf16WithoutMarkFollowsTheByteOrderField) {
    // Low four bits 1 and 2 name the byte order, whatever the rest of the value says.
    EXPECT_EQ(encodingName(1200, 546, {0, '<'}), "utf-16le");
    EXPECT_EQ(encodingName(1200, 0x12, {'<', 0}), "utf-16le");
    EXPECT_EQ(encodingName(13488, 273, {0, '<'}), "utf-16be");
    EXPECT_EQ(encodingName(17584, 785, {0, '<'}), "utf-16be");
    EXPECT_EQ(encodingName(1200, -14, {0, '<'}), "utf-16le"); // ...0010 in the low bits
    // Any other field value falls back to the sign.
    EXPECT_EQ(encodingName(1200, 0, {0, '<'}), "utf-16");
    EXPECT_EQ(encodingName(1200, -1, {0, '<'}), "utf-16le");
    EXPECT_EQ(encodingName(1200, 0x300, {0, '<'}), "utf-16be");
    EXPECT_EQ(encodingName(1200, 3, {0, '<'}), "utf-16be");
    // The previous contents are replaced.
    EXPECT_EQ(encodingName(1200, 273, {0, '<'}, "old text that is long enough for the heap"), "utf-16be");
}

TEST(XmlUtilsEncodingName, MarkIsOnlyReadWhenTwoBytesArePresent) {
    // One byte cannot hold a mark: the name comes from the encoding value.
    EXPECT_EQ(encodingName(1200, 0, {0xFF}), "utf-16");
    EXPECT_EQ(encodingName(1200, 546, {0xFE}), "utf-16le");
    EXPECT_EQ(encodingName(1200, -1, {}), "utf-16le");
    // A mark-like pair that is not a mark (FE FE) is not taken for one.
    EXPECT_EQ(encodingName(1200, 273, {0xFE, 0xFE}), "utf-16be");
    // A null data pointer with a length is not read.
    XmlUtils utils;
    KelStringBase out;
    utils.BuildEncodingString(out, 1200, 273, nullptr, 2);
    EXPECT_EQ(out.toUtf8(), "utf-16be");
}

TEST(XmlUtilsEncodingName, OtherPagesAreNamedByCcsid) {
    EXPECT_EQ(encodingName(1208, 546, {0xFF, 0xFE, 0, 0}), "cpx-1208");
    EXPECT_EQ(encodingName(819, 273, {'<', 'a'}, "previous"), "cpx-819");
    EXPECT_EQ(encodingName(37, 785, {}), "cpx-37");
    EXPECT_EQ(encodingName(1201, 546, {0xFF, 0xFE}), "cpx-1201"); // not one of the UTF-16 pages
}

// ---------------------------------------------------------------------------------------------
// ReplaceSpecialChars

TEST(XmlUtilsEscaping, ReplacesTheFiveCharactersAndAppends) {
    KelStringBase out = KelStringBase::fromAscii("x");
    XmlUtils::ReplaceSpecialChars(KelStringBase::fromAscii("a<b & \"c\""), out);
    EXPECT_EQ(out.toUtf8(), "x" "a&lt;b &amp; &quot;c&quot;");

    KelStringBase all;
    XmlUtils::ReplaceSpecialChars(XmlConstants::wcsStandardEntities, all);
    EXPECT_EQ(all.toUtf8(), "&lt;&gt;&amp;&apos;&quot;");
}

TEST(XmlUtilsEscaping, EverythingElseIsCopiedUnchanged) {
    KelStringBase out = KelStringBase::fromAscii("keep");
    XmlUtils::ReplaceSpecialChars(KelStringBase(), out);
    EXPECT_EQ(out.toUtf8(), "keep");

    // Existing references are escaped again; control and non-ASCII characters are left alone.
    KelStringBase again;
    XmlUtils::ReplaceSpecialChars(KelStringBase::fromAscii("&amp;"), again);
    EXPECT_EQ(again.toUtf8(), "&amp;amp;");

    const std::u16string plain = u"tab\there\u00e9\u4e2d\U0001F600\u0000end";
    KelStringBase copied;
    XmlUtils::ReplaceSpecialChars(u16(plain), copied);
    EXPECT_TRUE(copied.view() == std::u16string_view(plain));
}

TEST(XmlUtilsEscaping, SpecialsAtBothEndsOfALongText) {
    std::u16string middle(100, u'm');
    KelStringBase out;
    XmlUtils::ReplaceSpecialChars(u16(u"<" + middle + u">"), out);
    EXPECT_EQ(out.toUtf8(), "&lt;" + std::string(100, 'm') + "&gt;");
}

TEST(XmlUtilsEscaping, InputMayBeTheOutputString) {
    KelStringBase text = KelStringBase::fromAscii("a&b, long enough to live on the heap");
    XmlUtils::ReplaceSpecialChars(text, text);
    EXPECT_EQ(text.toUtf8(), "a&b, long enough to live on the heap" "a&amp;b, long enough to live on the heap");
}

// ---------------------------------------------------------------------------------------------
// MakeUpper / MakeLower

TEST(XmlUtilsCase, MapsOnlyAsciiLetters) {
    XmlUtils utils;
    KelStringBase out = KelStringBase::fromAscii("previous contents");
    utils.MakeUpper(u16(u"xml-\u00e9"), out);
    EXPECT_TRUE(out.view() == u"XML-\u00e9");

    utils.MakeLower(KelStringBase::fromAscii("ABC["), out);
    EXPECT_EQ(out.toUtf8(), "abc[");

    // The characters just outside each range stay as they are.
    const std::u16string edges = u"@AZ[`az{\u00c0\u00e0\u0130";
    utils.MakeUpper(u16(edges), out);
    EXPECT_TRUE(out.view() == u"@AZ[`AZ{\u00c0\u00e0\u0130");
    utils.MakeLower(u16(edges), out);
    EXPECT_TRUE(out.view() == u"@az[`az{\u00c0\u00e0\u0130");
    EXPECT_EQ(out.length(), edges.size());

    utils.MakeUpper(KelStringBase(), out);
    EXPECT_TRUE(out.empty());
}

TEST(XmlUtilsCase, InputMayBeTheOutputString) {
    XmlUtils utils;
    KelStringBase text = KelStringBase::fromAscii("Mixed Case Text, long enough for a heap block");
    const KelStringBase shared = text; // shares the block: must not see the change
    utils.MakeUpper(text, text);
    EXPECT_EQ(text.toUtf8(), "MIXED CASE TEXT, LONG ENOUGH FOR A HEAP BLOCK");
    EXPECT_EQ(shared.toUtf8(), "Mixed Case Text, long enough for a heap block");
    utils.MakeLower(text, text);
    EXPECT_EQ(text.toUtf8(), "mixed case text, long enough for a heap block");
}

// ---------------------------------------------------------------------------------------------
// EndianInvert

TEST(XmlUtilsByteOrder, SwapsEveryCodeUnitAndIsItsOwnInverse) {
    XmlUtils utils;
    KelStringBase text = u16(u"\u0041\u00e9");
    utils.EndianInvert(text);
    EXPECT_EQ(text.length(), 2u);
    EXPECT_EQ(text[0], 0x4100);
    EXPECT_EQ(text[1], 0xE900);
    utils.EndianInvert(text);
    EXPECT_TRUE(text.view() == u"\u0041\u00e9");

    KelStringBase empty;
    utils.EndianInvert(empty);
    EXPECT_TRUE(empty.empty());
}

TEST(XmlUtilsByteOrder, LeavesSharedCopiesAlone) {
    XmlUtils utils;
    const std::u16string original = u"a heap-sized text of more than eighteen code units \u1234";
    KelStringBase text = u16(original);
    const KelStringBase copy = text;
    utils.EndianInvert(text);
    EXPECT_TRUE(copy.view() == std::u16string_view(original));
    ASSERT_EQ(text.length(), original.size());
    EXPECT_EQ(text[0], 0x6100);
    EXPECT_EQ(text[original.size() - 1], 0x3412);
}

TEST(XmlUtilsByteOrder, ReversesBytesIncludingInPlace) {
    const char source[] = {1, 2, 3, 4, 5};
    char target[6] = {0, 0, 0, 0, 0, 9};
    XmlUtils::EndianInvert(source, target, 5);
    EXPECT_EQ(std::string(target, 6), std::string("\5\4\3\2\1\x09", 6));

    char inPlace[] = {1, 2, 3, 4};
    XmlUtils::EndianInvert(inPlace, inPlace, 4);
    EXPECT_EQ(std::string(inPlace, 4), std::string("\4\3\2\1", 4));

    char shifted[] = {1, 2, 3, 4, 0};
    XmlUtils::EndianInvert(shifted, shifted + 1, 4); // overlapping ranges
    EXPECT_EQ(std::string(shifted, 5), std::string("\1\4\3\2\1", 5));

    char untouched[] = {7, 7};
    XmlUtils::EndianInvert(source, untouched, 0);
    EXPECT_EQ(untouched[0], 7);
}

// ---------------------------------------------------------------------------------------------
// Kel_ltow / Kel_wcslen

TEST(XmlUtilsNumbers, DecimalTextWithSign) {
    unsigned short out[32];
    EXPECT_EQ(XmlUtils::Kel_ltow(0, out, 10), out);
    EXPECT_EQ(narrow(out), "0");
    EXPECT_EQ(narrow(XmlUtils::Kel_ltow(1234567890L, out, 10)), "1234567890");
    EXPECT_EQ(narrow(XmlUtils::Kel_ltow(-42, out, 10)), "-42");
    EXPECT_EQ(narrow(XmlUtils::Kel_ltow(255, out, 16)), "255"); // the radix is not used
    EXPECT_EQ(narrow(XmlUtils::Kel_ltow(LONG_MIN, out, 10)), std::to_string(LONG_MIN));
    EXPECT_EQ(narrow(XmlUtils::Kel_ltow(LONG_MAX, out, 10)), std::to_string(LONG_MAX));
}

TEST(XmlUtilsNumbers, WritesNothingAfterTheTerminator) {
    unsigned short out[32];
    for (unsigned short& unit : out) unit = 0xABCD;
    XmlUtils::Kel_ltow(-7, out, 10);
    EXPECT_EQ(out[0], u'-');
    EXPECT_EQ(out[1], u'7');
    EXPECT_EQ(out[2], 0);
    EXPECT_EQ(out[3], 0xABCD);
    EXPECT_EQ(XmlUtils::Kel_wcslen(out), 2u);

    XmlUtils::Kel_ltow(LONG_MIN, out, 10);
    EXPECT_EQ(XmlUtils::Kel_wcslen(out), std::to_string(LONG_MIN).size());
    EXPECT_EQ(out[XmlUtils::Kel_wcslen(out) + 1], 0xABCD);

    const unsigned short empty[] = {0};
    EXPECT_EQ(XmlUtils::Kel_wcslen(empty), 0u);
    EXPECT_EQ(XmlUtils::Kel_wcslen(nullptr), 0u);
}

// ---------------------------------------------------------------------------------------------
// Encoding-value fields and code page classes

TEST(XmlUtilsEncodingValue, FieldsReadFromTheirOwnBits) {
    XmlUtils utils;
    EXPECT_EQ(utils.getEndian(273), 'B');
    EXPECT_EQ(utils.getEndian(546), 'L');
    EXPECT_EQ(utils.getEndian(785), 'B');
    EXPECT_EQ(utils.getEndian(0x22), 'L');
    EXPECT_EQ(utils.getEndian(0x20), 'B'); // bits 4-7 do not count
    EXPECT_EQ(utils.getEndian(0), 'B');

    EXPECT_EQ(utils.getPackedDecimalByteOrder(0x20), 'L');
    EXPECT_EQ(utils.getPackedDecimalByteOrder(0x02), 'B');
    EXPECT_EQ(utils.getPackedDecimalByteOrder(273), 'B');
    EXPECT_EQ(utils.getPackedDecimalByteOrder(546), 'L');

    EXPECT_EQ(utils.getFloatFormat(785), 'S');
    EXPECT_EQ(utils.getFloatFormat(546), 'I');
    EXPECT_EQ(utils.getFloatFormat(0x300), 'S');
    EXPECT_EQ(utils.getFloatFormat(0x3003), 'I'); // bits 12-15 do not count
    EXPECT_EQ(utils.getFloatFormat(0x033), 'I');

    EXPECT_EQ(utils.getNativeEndian(), 'L');
    EXPECT_EQ(utils.getNativePackedDecimalByteOrder(), 'L');
    EXPECT_EQ(utils.getNativeFloatFormat(), 'I');
}

TEST(XmlUtilsEncodingValue, OnlyThreePagesAreUtf16) {
    XmlUtils utils;
    EXPECT_TRUE(utils.IsUnicode(1200));
    EXPECT_TRUE(utils.IsUnicode(13488));
    EXPECT_TRUE(utils.IsUnicode(17584));
    EXPECT_FALSE(utils.IsUnicode(1208));
    EXPECT_FALSE(utils.IsUnicode(1201));
    EXPECT_FALSE(utils.IsUnicode(0));
    EXPECT_FALSE(utils.IsUnicode(-1200));
}

TEST(XmlUtilsEncodingValue, CopiesKeepTheLogOwner) {
    KelOwnedLogSource owner;
    XmlUtils utils;
    EXPECT_EQ(utils.owner(), nullptr);
    utils.setOwner(&owner);
    XmlUtils copy(utils);
    EXPECT_EQ(copy.owner(), &owner);
    XmlUtils assigned;
    assigned = utils;
    EXPECT_EQ(assigned.owner(), &owner);
}

// ---------------------------------------------------------------------------------------------
// Conversions

TEST(XmlUtilsConversion, RoundTripsThroughSeveralPages) {
    XmlUtils utils;
    struct Case { int ccsid; std::u16string text; };
    const Case cases[] = {
        {1208, u"h\u00e9llo \u20ac \u4e2d\U0001F600"},
        {37, u"EBCDIC text 123 <&>"},
        {819, u"Latin-1 \u00e9\u00fc\u00df"},
        {852, u"\u0141\u00f3d\u017a \u0105"},
        {1200, u"utf-16 \u4e2d"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ccsid);
        char buffer[128];
        std::memset(buffer, 0x7F, sizeof buffer);
        EXPECT_EQ(utils.ConvertFromUnicode(u16(c.text), buffer, sizeof buffer, c.ccsid), buffer);
        // The zero fill ends the result; for UTF-16 find the end as the first zero code unit.
        std::size_t length = 0;
        if (c.ccsid == 1200) {
            while (buffer[length] != 0 || buffer[length + 1] != 0) length += 2;
        } else {
            length = std::strlen(buffer);
        }
        KelStringBase back = KelStringBase::fromAscii("old");
        EXPECT_EQ(&utils.ConvertToUnicode(buffer, static_cast<int>(length), back, c.ccsid), &back);
        EXPECT_TRUE(back.view() == std::u16string_view(c.text)) << back.toUtf8();
    }
}

TEST(XmlUtilsConversion, KnownBytes) {
    XmlUtils utils;
    char buffer[16];
    utils.ConvertFromUnicode(u16(u"A\u00e9"), buffer, sizeof buffer, 1200);
    EXPECT_EQ(std::string(buffer, 6), std::string("\0A\0\xe9\0\0", 6)); // big-endian, zero-filled
    utils.ConvertFromUnicode(KelStringBase::fromAscii("AB"), buffer, sizeof buffer, 37);
    EXPECT_EQ(std::string(buffer, 3), std::string("\xc1\xc2\0", 3));

    KelStringBase text;
    utils.ConvertFromAsciiToUnicode("a\xa5", text); // 0xA5 is U+0105 in 852
    EXPECT_TRUE(text.view() == u"a\u0105");
    utils.ConvertFromAsciiToUnicode("", text);
    EXPECT_TRUE(text.empty());
    utils.ConvertToUnicode("xyz", 0, text, 1208);
    EXPECT_TRUE(text.empty());
}

TEST(XmlUtilsConversion, ConvertFromUnicodeStaysInsideItsBuffer) {
    XmlUtils utils;
    GuardedBuffer buffer(5);
    utils.ConvertFromUnicode(u16(u"\u00e9\u00e9\u00e9"), buffer.data(), 5, 1208); // six bytes of UTF-8
    EXPECT_TRUE(buffer.guardIntact());
    // Two whole characters fit; the third is not split, and the zero fill ends the text.
    EXPECT_EQ(std::string(buffer.data()), "\xc3\xa9\xc3\xa9");

    GuardedBuffer exact(3);
    utils.ConvertFromUnicode(KelStringBase::fromAscii("abcdef"), exact.data(), 3, 819);
    EXPECT_TRUE(exact.guardIntact());
    EXPECT_EQ(std::string(exact.data(), 3), "abc");
}

TEST(XmlUtilsConversion, ConvertFromUnicodePassesConverterFailuresOn) {
    XmlUtils utils;
    char buffer[16];
    EXPECT_THROW(utils.ConvertFromUnicode(u16(u"\u20ac"), buffer, sizeof buffer, 819), KelRecoverableException);
}

TEST(XmlUtilsConversion, AsciiResultIsCutToTheBufferAndTerminated) {
    XmlUtils utils;
    const KelStringBase text = KelStringBase::fromAscii("abcdefghijklmnopqrstuvwxyz");
    for (long size : {1L, 2L, 5L, 26L}) {
        SCOPED_TRACE(size);
        GuardedBuffer buffer(static_cast<std::size_t>(size));
        EXPECT_EQ(utils.ConvertFromUnicodeToAscii(text, buffer.data(), size), buffer.data());
        EXPECT_TRUE(buffer.guardIntact());
        EXPECT_EQ(std::string(buffer.data()), std::string("abcdefghijklmnopqrstuvwxyz", size - 1));
    }
    GuardedBuffer roomy(27);
    utils.ConvertFromUnicodeToAscii(text, roomy.data(), 27);
    EXPECT_EQ(std::string(roomy.data()), "abcdefghijklmnopqrstuvwxyz");
    EXPECT_TRUE(roomy.guardIntact());

    GuardedBuffer none(0);
    utils.ConvertFromUnicodeToAscii(text, none.data(), 0);
    EXPECT_TRUE(none.guardIntact());
}

TEST(XmlUtilsConversion, AsciiReplacesWhat852CannotHold) {
    XmlUtils utils;
    char buffer[64];
    // U+20AC, U+65E5, a surrogate pair and a lone surrogate are not in 852; U+0141 is.
    const std::u16string text = u"a\u20acb\u65e5c\U0001F600d\xd800" u"e\u0141";
    EXPECT_NO_THROW(utils.ConvertFromUnicodeToAscii(u16(text), buffer, sizeof buffer));
    EXPECT_EQ(std::string(buffer), "a?b?c?d?e\x9d");

    GuardedBuffer small(4);
    utils.ConvertFromUnicodeToAscii(u16(u"\u20ac\u20ac\u20ac\u20ac\u20ac"), small.data(), 4);
    EXPECT_TRUE(small.guardIntact());
    EXPECT_EQ(std::string(small.data()), "???");

    KelStringBase back;
    utils.ConvertFromAsciiToUnicode(buffer, back);
    EXPECT_TRUE(back.view() == u"a?b?c?d?e\u0141");
}

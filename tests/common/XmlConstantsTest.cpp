// The markup constants: exact code units of every string, the letter bounds, and that the strings
// are ready before code outside the library runs its own static initialisers.
#include "common/XmlConstants.hpp"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>

namespace {

// Built while this program is being initialised; the library's constants must already hold
// their texts by then.
const KelStringBase gCopiedDuringStaticInit = XmlConstants::wcsLeftAngleDoctype;
const std::size_t gLengthDuringStaticInit = XmlConstants::wcsStandardEntities.length();

struct Expected {
    const char* name;
    const KelStringBase& constant;
    std::u16string text;
};

} // namespace

// Derived classes (elements, utilities, writers) rely on the class adding no storage.
static_assert(std::is_empty<XmlConstants>::value, "XmlConstants must not carry data");

TEST(XmlConstants, EveryStringHasItsExactTextAndLength) {
    const Expected table[] = {
        {"wcsSpaceHash", XmlConstants::wcsSpaceHash, u" #"},
        {"wcsSpace", XmlConstants::wcsSpace, u" "},
        {"wcsSpaceLeftSquare", XmlConstants::wcsSpaceLeftSquare, u" ["},
        {"wcsEncodingEquals", XmlConstants::wcsEncodingEquals, u" encoding="},
        {"wcsNdata", XmlConstants::wcsNdata, u" NDATA "},
        {"wcsPublic", XmlConstants::wcsPublic, u" PUBLIC "},
        {"wcsSpaceDblQuote", XmlConstants::wcsSpaceDblQuote, {0x20, 0x22}},
        {"wcsDblQuoteRightAngle", XmlConstants::wcsDblQuoteRightAngle, {0x22, 0x3E}},
        {"wcsStandaloneEquals", XmlConstants::wcsStandaloneEquals, u" standalone="},
        {"wcsSystemSpace", XmlConstants::wcsSystemSpace, u" SYSTEM "},
        {"wcsSystem", XmlConstants::wcsSystem, u" SYSTEM"},
        {"wcsVersionEquals", XmlConstants::wcsVersionEquals, u" version=\""},
        {"wcsLeftAngleDashDash", XmlConstants::wcsLeftAngleDashDash, u"<!--"},
        {"wcsLeftAngleCdata", XmlConstants::wcsLeftAngleCdata, u"<![CDATA["},
        {"wcsLeftAngleAttlist", XmlConstants::wcsLeftAngleAttlist, u"<!ATTLIST "},
        {"wcsLeftAngleDoctype", XmlConstants::wcsLeftAngleDoctype, u"<!DOCTYPE "},
        {"wcsLeftAngleElement", XmlConstants::wcsLeftAngleElement, u"<!ELEMENT "},
        {"wcsLeftAngleEntityPercent", XmlConstants::wcsLeftAngleEntityPercent, u"<!ENTITY % "},
        {"wcsLeftAngleEntity", XmlConstants::wcsLeftAngleEntity, u"<!ENTITY "},
        {"wcsLeftAngleNotation", XmlConstants::wcsLeftAngleNotation, u"<!NOTATION "},
        {"wcsLeftAngleQuestion", XmlConstants::wcsLeftAngleQuestion, u"<?"},
        {"wcsLeftAngleQuestionXml", XmlConstants::wcsLeftAngleQuestionXml, u"<?xml"},
        {"wcsLeftAngle", XmlConstants::wcsLeftAngle, u"<"},
        {"wcsAmpersand", XmlConstants::wcsAmpersand, u"&"},
        {"wcsAmpersandAmp", XmlConstants::wcsAmpersandAmp, u"&amp;"},
        {"wcsAmpersandApos", XmlConstants::wcsAmpersandApos, u"&apos;"},
        {"wcsAmpersandGt", XmlConstants::wcsAmpersandGt, u"&gt;"},
        {"wcsAmpersandLt", XmlConstants::wcsAmpersandLt, u"&lt;"},
        {"wcsAmpersandQuot", XmlConstants::wcsAmpersandQuot, u"&quot;"},
        {"wcsDashDash", XmlConstants::wcsDashDash, u"!--"},
        {"wcsSemiColon", XmlConstants::wcsSemiColon, u";"},
        {"wcsDashDashRightAngle", XmlConstants::wcsDashDashRightAngle, u"-->"},
        {"wcsForwardSlash", XmlConstants::wcsForwardSlash, u"/"},
        {"wcsRightAngle", XmlConstants::wcsRightAngle, u">"},
        {"wcsQuestionRightAngle", XmlConstants::wcsQuestionRightAngle, u"?>"},
        {"wcsEquals", XmlConstants::wcsEquals, u"="},
        {"wcsNull", XmlConstants::wcsNull, u""},
        {"wcsRightSquare", XmlConstants::wcsRightSquare, u"]"},
        {"wcsRightSquareSquare", XmlConstants::wcsRightSquareSquare, u"]]>"},
        {"wcsSingleQuote", XmlConstants::wcsSingleQuote, {0x27}},
        {"wcsDoubleQuote", XmlConstants::wcsDoubleQuote, {0x22}},
        {"wcsUtf_16", XmlConstants::wcsUtf_16, u"utf-16"},
        {"wcsUtf_16be", XmlConstants::wcsUtf_16be, u"utf-16be"},
        {"wcsUtf_16le", XmlConstants::wcsUtf_16le, u"utf-16le"},
        {"wcsNewlineString", XmlConstants::wcsNewlineString, {0x0A}},
        {"wcsTabString", XmlConstants::wcsTabString, {0x09}},
        {"wcsForwardSlashRightAngle", XmlConstants::wcsForwardSlashRightAngle, u"/>"},
        {"wcsLeftAngleForwardSlash", XmlConstants::wcsLeftAngleForwardSlash, u"</"},
        {"wcsStandardEntities", XmlConstants::wcsStandardEntities, {0x3C, 0x3E, 0x26, 0x27, 0x22}},
    };
    EXPECT_EQ(sizeof table / sizeof table[0], 49u);
    for (const Expected& row : table) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.constant.length(), row.text.size());
        EXPECT_TRUE(row.constant.view() == std::u16string_view(row.text)) << row.constant.toUtf8();
        // Zero-terminated like every host string, so data() may be handed on as a C string.
        EXPECT_EQ(row.constant.data()[row.constant.length()], u'\0');
    }
}

TEST(XmlConstants, LetterBoundsAreTheAsciiLetters) {
    EXPECT_EQ(XmlConstants::wcLowercaseA, 0x61);
    EXPECT_EQ(XmlConstants::wcUppercaseA, 0x41);
    EXPECT_EQ(XmlConstants::wcLowercaseZ, 0x7A);
    EXPECT_EQ(XmlConstants::wcUppercaseZ, 0x5A);
    EXPECT_EQ(sizeof(XmlConstants::wcLowercaseA), 2u);
}

TEST(XmlConstants, ReadyBeforeOtherLibrariesInitialise) {
    EXPECT_TRUE(gCopiedDuringStaticInit.equals("<!DOCTYPE ")) << gCopiedDuringStaticInit.toUtf8();
    EXPECT_EQ(gLengthDuringStaticInit, 5u);
}

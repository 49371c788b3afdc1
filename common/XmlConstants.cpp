// The markup constants. They sit in one array that GCC's init_priority builds before every other
// initialiser of this library (dependent libraries are initialised after this one anyway), and the
// public references are bound to its elements at compile time, so no initialiser anywhere can see
// a reference that is not yet bound. The array is destroyed once, at unload.
#include "common/XmlConstants.hpp"

namespace {

enum ConstantIndex : int {
    kSpaceHash,
    kSpace,
    kSpaceLeftSquare,
    kEncodingEquals,
    kNdata,
    kPublic,
    kSpaceDblQuote,
    kDblQuoteRightAngle,
    kStandaloneEquals,
    kSystemSpace,
    kSystem,
    kVersionEquals,
    kLeftAngleDashDash,
    kLeftAngleCdata,
    kLeftAngleAttlist,
    kLeftAngleDoctype,
    kLeftAngleElement,
    kLeftAngleEntityPercent,
    kLeftAngleEntity,
    kLeftAngleNotation,
    kLeftAngleQuestion,
    kLeftAngleQuestionXml,
    kLeftAngle,
    kAmpersand,
    kAmpersandAmp,
    kAmpersandApos,
    kAmpersandGt,
    kAmpersandLt,
    kAmpersandQuot,
    kDashDash,
    kSemiColon,
    kDashDashRightAngle,
    kForwardSlash,
    kRightAngle,
    kQuestionRightAngle,
    kEquals,
    kNull,
    kRightSquare,
    kRightSquareSquare,
    kSingleQuote,
    kDoubleQuote,
    kUtf_16,
    kUtf_16be,
    kUtf_16le,
    kNewlineString,
    kTabString,
    kForwardSlashRightAngle,
    kLeftAngleForwardSlash,
    kStandardEntities,
    kPercent,
    kConstantCount
};

// Listed in ConstantIndex order.
KelStringBase gConstantStrings[] __attribute__((init_priority(101))) = {
    KelStringBase(u" #"), // wcsSpaceHash
    KelStringBase(u" "), // wcsSpace
    KelStringBase(u" ["), // wcsSpaceLeftSquare
    KelStringBase(u" encoding="), // wcsEncodingEquals
    KelStringBase(u" NDATA "), // wcsNdata
    KelStringBase(u" PUBLIC "), // wcsPublic
    KelStringBase(u" \""), // wcsSpaceDblQuote
    KelStringBase(u"\">"), // wcsDblQuoteRightAngle
    KelStringBase(u" standalone="), // wcsStandaloneEquals
    KelStringBase(u" SYSTEM "), // wcsSystemSpace
    KelStringBase(u" SYSTEM"), // wcsSystem
    KelStringBase(u" version=\""), // wcsVersionEquals
    KelStringBase(u"<!--"), // wcsLeftAngleDashDash
    KelStringBase(u"<![CDATA["), // wcsLeftAngleCdata
    KelStringBase(u"<!ATTLIST "), // wcsLeftAngleAttlist
    KelStringBase(u"<!DOCTYPE "), // wcsLeftAngleDoctype
    KelStringBase(u"<!ELEMENT "), // wcsLeftAngleElement
    KelStringBase(u"<!ENTITY % "), // wcsLeftAngleEntityPercent
    KelStringBase(u"<!ENTITY "), // wcsLeftAngleEntity
    KelStringBase(u"<!NOTATION "), // wcsLeftAngleNotation
    KelStringBase(u"<?"), // wcsLeftAngleQuestion
    KelStringBase(u"<?xml"), // wcsLeftAngleQuestionXml
    KelStringBase(u"<"), // wcsLeftAngle
    KelStringBase(u"&"), // wcsAmpersand
    KelStringBase(u"&amp;"), // wcsAmpersandAmp
    KelStringBase(u"&apos;"), // wcsAmpersandApos
    KelStringBase(u"&gt;"), // wcsAmpersandGt
    KelStringBase(u"&lt;"), // wcsAmpersandLt
    KelStringBase(u"&quot;"), // wcsAmpersandQuot
    KelStringBase(u"!--"), // wcsDashDash
    KelStringBase(u";"), // wcsSemiColon
    KelStringBase(u"-->"), // wcsDashDashRightAngle
    KelStringBase(u"/"), // wcsForwardSlash
    KelStringBase(u">"), // wcsRightAngle
    KelStringBase(u"?>"), // wcsQuestionRightAngle
    KelStringBase(u"="), // wcsEquals
    KelStringBase(u""), // wcsNull
    KelStringBase(u"]"), // wcsRightSquare
    KelStringBase(u"]]>"), // wcsRightSquareSquare
    KelStringBase(u"'"), // wcsSingleQuote
    KelStringBase(u"\""), // wcsDoubleQuote
    KelStringBase(u"utf-16"), // wcsUtf_16
    KelStringBase(u"utf-16be"), // wcsUtf_16be
    KelStringBase(u"utf-16le"), // wcsUtf_16le
    KelStringBase(u"\n"), // wcsNewlineString
    KelStringBase(u"\t"), // wcsTabString
    KelStringBase(u"/>"), // wcsForwardSlashRightAngle
    KelStringBase(u"</"), // wcsLeftAngleForwardSlash
    KelStringBase(u"<>&'\""), // wcsStandardEntities
    KelStringBase(u"%"), // wcsPercent
};

static_assert(sizeof(gConstantStrings) / sizeof(gConstantStrings[0]) == kConstantCount,
              "one text per constant");

} // namespace

const KelStringBase& XmlConstants::wcsSpaceHash = gConstantStrings[kSpaceHash];
const KelStringBase& XmlConstants::wcsSpace = gConstantStrings[kSpace];
const KelStringBase& XmlConstants::wcsSpaceLeftSquare = gConstantStrings[kSpaceLeftSquare];
const KelStringBase& XmlConstants::wcsEncodingEquals = gConstantStrings[kEncodingEquals];
const KelStringBase& XmlConstants::wcsNdata = gConstantStrings[kNdata];
const KelStringBase& XmlConstants::wcsPublic = gConstantStrings[kPublic];
const KelStringBase& XmlConstants::wcsSpaceDblQuote = gConstantStrings[kSpaceDblQuote];
const KelStringBase& XmlConstants::wcsDblQuoteRightAngle = gConstantStrings[kDblQuoteRightAngle];
const KelStringBase& XmlConstants::wcsStandaloneEquals = gConstantStrings[kStandaloneEquals];
const KelStringBase& XmlConstants::wcsSystemSpace = gConstantStrings[kSystemSpace];
const KelStringBase& XmlConstants::wcsSystem = gConstantStrings[kSystem];
const KelStringBase& XmlConstants::wcsVersionEquals = gConstantStrings[kVersionEquals];
const KelStringBase& XmlConstants::wcsLeftAngleDashDash = gConstantStrings[kLeftAngleDashDash];
const KelStringBase& XmlConstants::wcsLeftAngleCdata = gConstantStrings[kLeftAngleCdata];
const KelStringBase& XmlConstants::wcsLeftAngleAttlist = gConstantStrings[kLeftAngleAttlist];
const KelStringBase& XmlConstants::wcsLeftAngleDoctype = gConstantStrings[kLeftAngleDoctype];
const KelStringBase& XmlConstants::wcsLeftAngleElement = gConstantStrings[kLeftAngleElement];
const KelStringBase& XmlConstants::wcsLeftAngleEntityPercent = gConstantStrings[kLeftAngleEntityPercent];
const KelStringBase& XmlConstants::wcsLeftAngleEntity = gConstantStrings[kLeftAngleEntity];
const KelStringBase& XmlConstants::wcsLeftAngleNotation = gConstantStrings[kLeftAngleNotation];
const KelStringBase& XmlConstants::wcsLeftAngleQuestion = gConstantStrings[kLeftAngleQuestion];
const KelStringBase& XmlConstants::wcsLeftAngleQuestionXml = gConstantStrings[kLeftAngleQuestionXml];
const KelStringBase& XmlConstants::wcsLeftAngle = gConstantStrings[kLeftAngle];
const KelStringBase& XmlConstants::wcsAmpersand = gConstantStrings[kAmpersand];
const KelStringBase& XmlConstants::wcsAmpersandAmp = gConstantStrings[kAmpersandAmp];
const KelStringBase& XmlConstants::wcsAmpersandApos = gConstantStrings[kAmpersandApos];
const KelStringBase& XmlConstants::wcsAmpersandGt = gConstantStrings[kAmpersandGt];
const KelStringBase& XmlConstants::wcsAmpersandLt = gConstantStrings[kAmpersandLt];
const KelStringBase& XmlConstants::wcsAmpersandQuot = gConstantStrings[kAmpersandQuot];
const KelStringBase& XmlConstants::wcsDashDash = gConstantStrings[kDashDash];
const KelStringBase& XmlConstants::wcsSemiColon = gConstantStrings[kSemiColon];
const KelStringBase& XmlConstants::wcsDashDashRightAngle = gConstantStrings[kDashDashRightAngle];
const KelStringBase& XmlConstants::wcsForwardSlash = gConstantStrings[kForwardSlash];
const KelStringBase& XmlConstants::wcsRightAngle = gConstantStrings[kRightAngle];
const KelStringBase& XmlConstants::wcsQuestionRightAngle = gConstantStrings[kQuestionRightAngle];
const KelStringBase& XmlConstants::wcsEquals = gConstantStrings[kEquals];
const KelStringBase& XmlConstants::wcsNull = gConstantStrings[kNull];
const KelStringBase& XmlConstants::wcsRightSquare = gConstantStrings[kRightSquare];
const KelStringBase& XmlConstants::wcsRightSquareSquare = gConstantStrings[kRightSquareSquare];
const KelStringBase& XmlConstants::wcsSingleQuote = gConstantStrings[kSingleQuote];
const KelStringBase& XmlConstants::wcsDoubleQuote = gConstantStrings[kDoubleQuote];
const KelStringBase& XmlConstants::wcsUtf_16 = gConstantStrings[kUtf_16];
const KelStringBase& XmlConstants::wcsUtf_16be = gConstantStrings[kUtf_16be];
const KelStringBase& XmlConstants::wcsUtf_16le = gConstantStrings[kUtf_16le];
const KelStringBase& XmlConstants::wcsNewlineString = gConstantStrings[kNewlineString];
const KelStringBase& XmlConstants::wcsTabString = gConstantStrings[kTabString];
const KelStringBase& XmlConstants::wcsForwardSlashRightAngle = gConstantStrings[kForwardSlashRightAngle];
const KelStringBase& XmlConstants::wcsLeftAngleForwardSlash = gConstantStrings[kLeftAngleForwardSlash];
const KelStringBase& XmlConstants::wcsStandardEntities = gConstantStrings[kStandardEntities];
const KelStringBase& XmlConstants::wcsPercent = gConstantStrings[kPercent];


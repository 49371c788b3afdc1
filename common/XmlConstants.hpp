// XmlConstants: every fixed piece of XML markup as a named UTF-16 string, plus the ASCII letter
// bounds used for case mapping. The class has no data; classes derive from it to use the names.
// The strings belong to the library: built when it is loaded, before any other initialiser of the
// library runs, released when it is unloaded, and never changed in between, so any thread may read
// them. Mind the small differences between like constants (wcsVersionEquals carries its opening
// quotation mark, wcsEncodingEquals and wcsStandaloneEquals do not; wcsSystemSpace ends in a
// space, wcsSystem does not): the markup primitives rely on them.
#pragma once

#include "host/KelStringBase.hpp"

class XmlConstants {
public:
    static constexpr unsigned short wcLowercaseA = 0x0061; // 'a'
    static constexpr unsigned short wcUppercaseA = 0x0041; // 'A'
    static constexpr unsigned short wcLowercaseZ = 0x007A; // 'z'
    static constexpr unsigned short wcUppercaseZ = 0x005A; // 'Z'

    static const KelStringBase& wcsSpaceHash;              // " #"
    static const KelStringBase& wcsSpace;                  // " "
    static const KelStringBase& wcsSpaceLeftSquare;        // " ["
    static const KelStringBase& wcsEncodingEquals;         // " encoding="
    static const KelStringBase& wcsNdata;                  // " NDATA "
    static const KelStringBase& wcsPublic;                 // " PUBLIC "
    static const KelStringBase& wcsSpaceDblQuote;          // space, quotation mark
    static const KelStringBase& wcsDblQuoteRightAngle;     // quotation mark, ">"
    static const KelStringBase& wcsStandaloneEquals;       // " standalone="
    static const KelStringBase& wcsSystemSpace;            // " SYSTEM "
    static const KelStringBase& wcsSystem;                 // " SYSTEM"
    static const KelStringBase& wcsVersionEquals;          // " version=" and a quotation mark
    static const KelStringBase& wcsLeftAngleDashDash;      // "<!--"
    static const KelStringBase& wcsLeftAngleCdata;         // "<![CDATA["
    static const KelStringBase& wcsLeftAngleAttlist;       // "<!ATTLIST "
    static const KelStringBase& wcsLeftAngleDoctype;       // "<!DOCTYPE "
    static const KelStringBase& wcsLeftAngleElement;       // "<!ELEMENT "
    static const KelStringBase& wcsLeftAngleEntityPercent; // "<!ENTITY % "
    static const KelStringBase& wcsLeftAngleEntity;        // "<!ENTITY "
    static const KelStringBase& wcsLeftAngleNotation;      // "<!NOTATION "
    static const KelStringBase& wcsLeftAngleQuestion;      // "<?"
    static const KelStringBase& wcsLeftAngleQuestionXml;   // "<?xml"
    static const KelStringBase& wcsLeftAngle;              // "<"
    static const KelStringBase& wcsAmpersand;              // "&"
    static const KelStringBase& wcsAmpersandAmp;           // "&amp;"
    static const KelStringBase& wcsAmpersandApos;          // "&apos;"
    static const KelStringBase& wcsAmpersandGt;            // "&gt;"
    static const KelStringBase& wcsAmpersandLt;            // "&lt;"
    static const KelStringBase& wcsAmpersandQuot;          // "&quot;"
    static const KelStringBase& wcsDashDash;               // "!--"
    static const KelStringBase& wcsSemiColon;              // ";"
    static const KelStringBase& wcsDashDashRightAngle;     // "-->"
    static const KelStringBase& wcsForwardSlash;           // "/"
    static const KelStringBase& wcsRightAngle;             // ">"
    static const KelStringBase& wcsQuestionRightAngle;     // "?>"
    static const KelStringBase& wcsEquals;                 // "="
    static const KelStringBase& wcsNull;                   // ""
    static const KelStringBase& wcsRightSquare;            // "]"
    static const KelStringBase& wcsRightSquareSquare;      // "]]>"
    static const KelStringBase& wcsSingleQuote;            // "'"
    static const KelStringBase& wcsDoubleQuote;            // quotation mark
    static const KelStringBase& wcsUtf_16;                 // "utf-16"
    static const KelStringBase& wcsUtf_16be;               // "utf-16be"
    static const KelStringBase& wcsUtf_16le;               // "utf-16le"
    static const KelStringBase& wcsNewlineString;          // line feed
    static const KelStringBase& wcsTabString;              // tab
    static const KelStringBase& wcsForwardSlashRightAngle; // "/>"
    static const KelStringBase& wcsLeftAngleForwardSlash;  // "</"
    static const KelStringBase& wcsStandardEntities;       // the five characters XML escapes: <>&'"
    static const KelStringBase& wcsPercent;                // "%"

    XmlConstants() noexcept = default;
    XmlConstants(const XmlConstants&) noexcept = default;
    // There is nothing per object to copy.
    XmlConstants& operator=(const XmlConstants&) noexcept { return *this; }
};

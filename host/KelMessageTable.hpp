// The message table: every message identifier, catalogue number (with its severity bits) and
// text that the host and the XML parser raise. Throw sites name an entry of this table; nothing
// else spells out a message. Read-only; safe from any thread.
#pragma once

#include <cstdint>

struct KelMessageDef {
    const char* identifier;   // "E_XmlP_ParseError"
    std::uint32_t number;     // catalogue number plus severity bits (0xC0001391 for 5009)
    const char* text;         // "XML Parsing Errors have occurred"
};

namespace KelMsg {
// The XML parser's messages.
extern const KelMessageDef E_XmlP_BufferOffsets;          // 5001
extern const KelMessageDef E_XmlP_OrvaneParserNewing;     // 5002
extern const KelMessageDef E_XmlP_InvParams;              // 5003
extern const KelMessageDef E_XmlP_Generic;                // 5004
extern const KelMessageDef E_XmlP_NoBody;                 // 5005
extern const KelMessageDef E_XmlP_validateTree;           // 5006
extern const KelMessageDef E_XmlP_InvalidTopLevelElement; // 5007
extern const KelMessageDef E_XmlP_InvalidElementNameFound;// 5008
extern const KelMessageDef E_XmlP_ParseError;             // 5009
extern const KelMessageDef E_XmlP_WriteError;             // 5010
extern const KelMessageDef E_XmlP_LimitExceeded;          // 5011
// The host's own messages.
extern const KelMessageDef E_Kel_UnresolvedElement;       // 2334 (warning severity)
extern const KelMessageDef E_Kel_ValueKind;               // 2335
extern const KelMessageDef E_Kel_InvalidAttach;           // 2336
extern const KelMessageDef E_Kel_DeleteRefused;           // 2337
extern const KelMessageDef E_Kel_ElementsLost;            // 2338
extern const KelMessageDef E_Kel_UnknownCcsid;            // 2340
extern const KelMessageDef E_Kel_ConversionFailed;        // 2341
extern const KelMessageDef E_Kel_UnknownEncoding;         // 2342
extern const KelMessageDef E_Kel_UnknownParserClass;      // 2350
extern const KelMessageDef E_Kel_PluginLoad;              // 2351
extern const KelMessageDef E_Kel_BufferSize;              // 2360

// Looks an entry up by catalogue number (without severity bits); null when unknown.
const KelMessageDef* find(std::uint32_t catalogueNumber);
} // namespace KelMsg

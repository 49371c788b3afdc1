#include "host/KelMessageTable.hpp"

namespace KelMsg {
namespace {
constexpr std::uint32_t kError = 0xC0000000u;
constexpr std::uint32_t kWarning = 0x80000000u;
} // namespace

const KelMessageDef E_XmlP_BufferOffsets{"E_XmlP_BufferOffsets", kError + 5001, "Invalid buffer offsets for output"};
const KelMessageDef E_XmlP_OrvaneParserNewing{"E_XmlP_OrvaneParserNewing", kError + 5002, "Error creating OrvaneParser"};
const KelMessageDef E_XmlP_InvParams{"E_XmlP_InvParams", kError + 5003, "Invalid buffer parameters"};
const KelMessageDef E_XmlP_Generic{"E_XmlP_Generic", kError + 5004,
                                   "An error has been reported by the QRVPARSE component."};
const KelMessageDef E_XmlP_NoBody{"E_XmlP_NoBody", kError + 5005, "No valid body of the document could be found."};
const KelMessageDef E_XmlP_validateTree{"E_XmlP_validateTree", kError + 5006, "Tree validation failed."};
const KelMessageDef E_XmlP_InvalidTopLevelElement{"E_XmlP_InvalidTopLevelElement", kError + 5007,
                                                  "Invalid top level element found."};
const KelMessageDef E_XmlP_InvalidElementNameFound{"E_XmlP_InvalidElementNameFound", kError + 5008,
                                                   "Invalid element name found."};
const KelMessageDef E_XmlP_ParseError{"E_XmlP_ParseError", kError + 5009, "XML Parsing Errors have occurred"};
const KelMessageDef E_XmlP_WriteError{"E_XmlP_WriteError", kError + 5010, "XML Writing Errors have occurred"};
// Inserts: the limit's name, its value, line, column, the element being filled.
const KelMessageDef E_XmlP_LimitExceeded{"E_XmlP_LimitExceeded", kError + 5011,
                                         "The document exceeds a limit of the XML parser."};

const KelMessageDef E_Kel_UnresolvedElement{"E_Kel_UnresolvedElement", kWarning + 2334,
                                            "Attempt to access an unresolved element"};
const KelMessageDef E_Kel_ValueKind{"E_Kel_ValueKind", kError + 2335, "The value is not of the requested kind"};
const KelMessageDef E_Kel_InvalidAttach{"E_Kel_InvalidAttach", kError + 2336,
                                        "The element cannot be attached there"};
// Inserts: why, and the element's path.
const KelMessageDef E_Kel_DeleteRefused{"E_Kel_DeleteRefused", kError + 2337, "The element cannot be deleted"};
// Inserts: the root of the tree that lost them.
const KelMessageDef E_Kel_ElementsLost{"E_Kel_ElementsLost", kError + 2338,
                                       "The tree lost elements of a parser that no longer exists"};
const KelMessageDef E_Kel_UnknownCcsid{"E_Kel_UnknownCcsid", kError + 2340,
                                       "Unknown or unsupported coded character set identifier"};
const KelMessageDef E_Kel_ConversionFailed{"E_Kel_ConversionFailed", kError + 2341, "Code page conversion failed"};
// Insert: why, in words.
const KelMessageDef E_Kel_UnknownEncoding{"E_Kel_UnknownEncoding", kError + 2342,
                                          "The encoding of the document cannot be determined"};
const KelMessageDef E_Kel_UnknownParserClass{"E_Kel_UnknownParserClass", kError + 2350,
                                             "No parser is registered for the parser class"};
const KelMessageDef E_Kel_PluginLoad{"E_Kel_PluginLoad", kError + 2351, "The parser plug-in could not be loaded"};
const KelMessageDef E_Kel_BufferSize{"E_Kel_BufferSize", kError + 2360, "The buffer cannot grow to the size asked"};

const KelMessageDef* find(std::uint32_t catalogueNumber) {
    static const KelMessageDef* const all[] = {
        &E_XmlP_BufferOffsets, &E_XmlP_OrvaneParserNewing, &E_XmlP_InvParams, &E_XmlP_Generic, &E_XmlP_NoBody,
        &E_XmlP_validateTree, &E_XmlP_InvalidTopLevelElement, &E_XmlP_InvalidElementNameFound, &E_XmlP_ParseError,
        &E_XmlP_WriteError, &E_XmlP_LimitExceeded, &E_Kel_UnresolvedElement, &E_Kel_ValueKind, &E_Kel_InvalidAttach, &E_Kel_DeleteRefused, &E_Kel_ElementsLost, &E_Kel_UnknownCcsid,
        &E_Kel_ConversionFailed, &E_Kel_UnknownEncoding, &E_Kel_UnknownParserClass, &E_Kel_PluginLoad, &E_Kel_BufferSize};
    for (const KelMessageDef* m : all)
        if ((m->number & 0x3FFFFFFFu) == catalogueNumber) return m;
    return nullptr;
}
} // namespace KelMsg

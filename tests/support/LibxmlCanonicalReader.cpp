#include "LibxmlCanonicalReader.hpp"

#include <libxml/c14n.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlerror.h>

#include <mutex>

namespace {

// Nothing outside the bytes is ever read: an external entity or subset stays unread, as quarn
// leaves it, so both sides see the same document.
xmlParserInputPtr refuseExternal(const char*, const char*, xmlParserCtxtPtr) { return nullptr; }

void silence(void*, const char*, ...) {}
void silenceStructured(void*, xmlErrorPtr) {}

void initialiseOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xmlSetExternalEntityLoader(refuseExternal);
    });
}

// An entity reference libxml2 could not replace (its entity is declared only where nothing is
// read, or not at all) stays in the document as a reference, which C14N cannot express. It
// becomes a processing instruction naming the entity, as CanonicalTreeSerialiser writes one.
int markUnexpandedReferences(xmlNodePtr node) {
    int count = 0;
    while (node != nullptr) {
        xmlNodePtr next = node->next;
        if (node->type == XML_ENTITY_REF_NODE) {
            xmlNodePtr mark = xmlNewDocPI(node->doc, BAD_CAST "unexpanded-entity", node->name);
            xmlReplaceNode(node, mark);
            xmlFreeNode(node);
            ++count;
        } else if (node->type == XML_ELEMENT_NODE) {
            count += markUnexpandedReferences(node->children);
        }
        node = next;
    }
    return count;
}

std::string trimmed(const char* message) {
    std::string text = message ? message : "unknown error";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

} // namespace

LibxmlReading LibxmlCanonicalReader::read(const std::string& bytes, const char* encodingName) {
    initialiseOnce();
    // One read at a time: libxml2 opens iconv converters, which load and unload modules through
    // the dynamic loader, whose locks the thread checker cannot see. Only this test helper waits;
    // quarn's own work in the concurrency tests stays side by side.
    static std::mutex oneAtATime;
    const std::lock_guard<std::mutex> lock(oneAtATime);
    // Errors go to the returned text, not to stderr (the handlers are per thread in libxml2).
    xmlSetGenericErrorFunc(nullptr, silence);
    xmlSetStructuredErrorFunc(nullptr, silenceStructured);
    LibxmlReading reading;
    xmlParserCtxtPtr context = xmlNewParserCtxt();
    if (context == nullptr) {
        reading.error = "libxml2 could not make a parser context";
        return reading;
    }
    const int options = XML_PARSE_NOENT | XML_PARSE_DTDATTR | XML_PARSE_NONET | XML_PARSE_NOERROR |
                        XML_PARSE_NOWARNING;
    xmlDocPtr document = xmlCtxtReadMemory(context, bytes.data(), static_cast<int>(bytes.size()), "output.xml",
                                           encodingName, options);
    if (document == nullptr) {
        reading.error = "libxml2 cannot read it: line " + std::to_string(context->lastError.line) + ": " +
                        trimmed(context->lastError.message);
        xmlFreeParserCtxt(context);
        return reading;
    }
    reading.wellFormed = true;
    reading.unexpandedReferences = markUnexpandedReferences(document->children);
    xmlChar* canonical = nullptr;
    const int size = xmlC14NDocDumpMemory(document, nullptr, XML_C14N_1_0, nullptr, 1, &canonical);
    if (size < 0 || canonical == nullptr) {
        const xmlError* last = xmlGetLastError();
        reading.error = "libxml2 cannot canonicalise it: " + trimmed(last ? last->message : nullptr);
    } else {
        reading.ok = true;
        reading.canonical.assign(reinterpret_cast<const char*>(canonical), static_cast<std::size_t>(size));
    }
    xmlFree(canonical);
    xmlFreeDoc(document);
    xmlFreeParserCtxt(context);
    return reading;
}

bool LibxmlCanonicalReader::differsOnlyByEntityCarriageReturns(const std::string& expected, const std::string& got) {
    std::string lineFeeds = expected;
    for (std::size_t at = lineFeeds.find("&#xD;"); at != std::string::npos; at = lineFeeds.find("&#xD;", at))
        lineFeeds.replace(at, 5, "\n");
    return lineFeeds != expected && lineFeeds == got;
}

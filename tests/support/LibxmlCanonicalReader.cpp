#include "LibxmlCanonicalReader.hpp"

#include <libxml/c14n.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlerror.h>

#include <mutex>
#include <utility>
#include <vector>

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

namespace {

// `canonical` with each attribute that a start tag repeats kept once: its last occurrence when
// `keepLast`, else its first. In canonical form a start tag is `<name` and ` attr="value"` pairs
// whose values escape every quote (but not '>'), and text escapes every '<'.
std::string withoutRepeatedAttributes(const std::string& canonical, bool keepLast) {
    std::string out;
    std::size_t at = 0;
    while (at < canonical.size()) {
        const std::size_t open = canonical.find('<', at);
        if (open == std::string::npos || open + 1 >= canonical.size()) {
            out.append(canonical, at, std::string::npos);
            break;
        }
        const char kind = canonical[open + 1];
        if (kind == '/' || kind == '?' || kind == '!') {
            // An end tag, a processing instruction or a comment: copied up to the next '<'.
            out.append(canonical, at, open + 1 - at);
            at = open + 1;
            continue;
        }
        out.append(canonical, at, open - at);
        // The tag's name, then its attributes up to the '>' outside every value.
        std::size_t p = open + 1;
        while (p < canonical.size() && canonical[p] != ' ' && canonical[p] != '>') ++p;
        std::string tag = canonical.substr(open, p - open);
        std::vector<std::pair<std::string, std::string>> attributes;
        while (p < canonical.size() && canonical[p] == ' ') {
            const std::size_t equals = canonical.find("=\"", p);
            const std::size_t quote = equals == std::string::npos ? std::string::npos : canonical.find('"', equals + 2);
            if (quote == std::string::npos) break;
            attributes.emplace_back(canonical.substr(p + 1, equals - p - 1), canonical.substr(p, quote + 1 - p));
            p = quote + 1;
        }
        for (std::size_t i = 0; i < attributes.size(); ++i) {
            bool kept = true;
            for (std::size_t j = 0; j < attributes.size(); ++j)
                if (j != i && attributes[j].first == attributes[i].first && (keepLast ? j > i : j < i)) kept = false;
            if (kept) tag += attributes[i].second;
        }
        out += tag;
        at = p;
    }
    return out;
}

}  // namespace

bool LibxmlCanonicalReader::differsOnlyByRepeatedAttributes(const std::string& expected, const std::string& got) {
    if (got == expected) return false;
    return withoutRepeatedAttributes(got, true) == expected || withoutRepeatedAttributes(got, false) == expected;
}

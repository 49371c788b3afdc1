// LibxmlReading: what an independent reader (libxml2) makes of bytes that quarn wrote: the
// document as libxml2 sees it, in a compact form (elements, attributes in document order, text,
// entity references as &name;), or "ill-formed: " and libxml2's first message. Test-only.
#pragma once

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <gtest/gtest.h>

#include <string>

namespace libxml_reading {

inline void describeNode(xmlNodePtr n, std::string& out) {
    for (; n; n = n->next) {
        switch (n->type) {
        case XML_ELEMENT_NODE:
            out += "<" + std::string(reinterpret_cast<const char*>(n->name));
            for (xmlAttrPtr a = n->properties; a; a = a->next) {
                out += " " + std::string(reinterpret_cast<const char*>(a->name)) + "=[";
                // The attribute's children keep entity references libxml2 did not expand.
                for (xmlNodePtr v = a->children; v; v = v->next) {
                    if (v->type == XML_ENTITY_REF_NODE)
                        out += "&" + std::string(reinterpret_cast<const char*>(v->name)) + ";";
                    else if (v->content)
                        out += reinterpret_cast<const char*>(v->content);
                }
                out += "]";
            }
            out += ">";
            describeNode(n->children, out);
            out += "</" + std::string(reinterpret_cast<const char*>(n->name)) + ">";
            break;
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
            if (n->content) out += reinterpret_cast<const char*>(n->content);
            break;
        case XML_ENTITY_REF_NODE:
            out += "&" + std::string(reinterpret_cast<const char*>(n->name)) + ";";
            break;
        case XML_COMMENT_NODE:
            out += "<!--" + std::string(n->content ? reinterpret_cast<const char*>(n->content) : "") + "-->";
            break;
        case XML_PI_NODE:
            out += "<?" + std::string(reinterpret_cast<const char*>(n->name)) + " " +
                   (n->content ? reinterpret_cast<const char*>(n->content) : "") + "?>";
            break;
        default: break;
        }
    }
}

// The document element and what follows it as libxml2 reads `bytes` (from their own mark and
// declaration; nothing outside is fetched, entities are not substituted).
inline std::string read(const std::string& bytes) {
    xmlResetLastError();
    xmlDocPtr doc = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), "out.xml", nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc) {
        const xmlError* e = xmlGetLastError();
        return std::string("ill-formed: ") + (e && e->message ? e->message : "?");
    }
    std::string out;
    describeNode(xmlDocGetRootElement(doc), out);
    xmlFreeDoc(doc);
    return out;
}

// Whether libxml2, reading namespaces as every consumer does, finds every prefix of `bytes`
// declared where it is used ("" when so, else libxml2's message). libxml2 reads a document with an
// undeclared prefix and only reports it, so read() alone cannot tell.
inline std::string namespaceError(const std::string& bytes) {
    xmlParserCtxtPtr context = xmlNewParserCtxt();
    if (context == nullptr) return "no parser context";
    xmlResetLastError();
    xmlDocPtr doc = xmlCtxtReadMemory(context, bytes.data(), static_cast<int>(bytes.size()), "out.xml", nullptr,
                                      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    std::string error;
    if (doc == nullptr || !context->nsWellFormed) {
        const xmlError* e = xmlCtxtGetLastError(context);
        error = e && e->message ? e->message : "not namespace-well-formed";
    }
    if (doc != nullptr) xmlFreeDoc(doc);
    xmlFreeParserCtxt(context);
    return error;
}

} // namespace libxml_reading

namespace libxml_reading {
// Whether libxml2 reads `written` as well-formed and as the same document as `expected`.
inline ::testing::AssertionResult readsAs(const std::string& written, const std::string& expected) {
    const std::string got = read(written);
    const std::string want = read(expected);
    if (got.rfind("ill-formed", 0) == 0) return ::testing::AssertionFailure() << written << ": " << got;
    if (got != want) return ::testing::AssertionFailure() << "libxml2 reads " << got << ", not " << want;
    return ::testing::AssertionSuccess();
}
} // namespace libxml_reading

namespace libxml_reading {
// readsAs, and every prefix declared where it is used.
inline ::testing::AssertionResult readsWithNamespacesAs(const std::string& written, const std::string& expected) {
    const std::string error = namespaceError(written);
    if (!error.empty()) return ::testing::AssertionFailure() << written << ": " << error;
    return readsAs(written, expected);
}
} // namespace libxml_reading

#include "CanonicalTreePrinter.hpp"

#include "host/KelSyntaxElement.hpp"
#include "common/XmlElementType.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace {

std::string text(KelSyntaxElement* e) { return e->actualValue().valueAsCharacter().toUtf8(); }

// Character data and attribute values: the four markup characters and tab, newline and
// carriage return as references.
void appendData(std::string& out, const std::string& data) {
    for (char c : data) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\t': out += "&#9;"; break;
        case '\n': out += "&#10;"; break;
        case '\r': out += "&#13;"; break;
        default: out += c;
        }
    }
}

void appendPi(std::string& out, KelSyntaxElement* pi) {
    out += "<?" + pi->name().toUtf8() + " " + text(pi) + "?>";
}

void appendElement(std::string& out, KelSyntaxElement* element) {
    const std::string name = element->name().toUtf8();
    // UTF-8 byte order is Unicode code point order.
    std::vector<std::pair<std::string, std::string>> attributes;
    std::vector<KelSyntaxElement*> content;
    for (KelSyntaxElement* c = element->firstChild(); c; c = c->nextSibling()) {
        if (c->type() == XmlTypeAttribute) attributes.emplace_back(c->name().toUtf8(), text(c));
        else content.push_back(c);
    }
    std::sort(attributes.begin(), attributes.end());
    out += "<" + name;
    for (const auto& [attribute, value] : attributes) {
        out += " " + attribute + "=\"";
        appendData(out, value);
        out += "\"";
    }
    out += ">";
    for (KelSyntaxElement* c : content) {
        switch (c->type()) {
        case XmlTypeContent:
        case XmlTypeCData:
        case XmlTypeWhiteSpace: appendData(out, text(c)); break;
        case XmlTypeElement: appendElement(out, c); break;
        case XmlTypeProcessingInstruction: appendPi(out, c); break;
        default: break; // comments and entity reference marks are not part of the form
        }
    }
    out += "</" + name + ">";
}

// Notation declarations anywhere in the document type declaration, sorted by name.
void collectNotations(KelSyntaxElement* e, std::vector<std::pair<std::string, std::string>>& out) {
    for (KelSyntaxElement* c = e->firstChild(); c; c = c->nextSibling()) {
        if (c->type() == XmlTypeNotationDecl) {
            std::string publicId;
            std::string systemId;
            bool hasPublic = false;
            bool hasSystem = false;
            for (KelSyntaxElement* part = c->firstChild(); part; part = part->nextSibling()) {
                if (part->type() == XmlTypePublicId) {
                    publicId = text(part);
                    hasPublic = true;
                } else if (part->type() == XmlTypeSystemId) {
                    systemId = text(part);
                    hasSystem = true;
                }
            }
            std::string line = "<!NOTATION " + c->name().toUtf8();
            if (hasPublic) {
                line += " PUBLIC '" + publicId + "'";
                if (hasSystem) line += " '" + systemId + "'";
            } else {
                line += " SYSTEM '" + systemId + "'";
            }
            out.emplace_back(c->name().toUtf8(), line + ">\n");
        } else if (c->type() == XmlTypeInternalSubset || c->type() == XmlTypeExternalSubset) {
            collectNotations(c, out);
        }
    }
}

} // namespace

std::string CanonicalTreePrinter::print(KelSyntaxElement* root) {
    std::string out;
    for (KelSyntaxElement* c = root->firstChild(); c; c = c->nextSibling()) {
        switch (c->type()) {
        case XmlTypeDocTypeDecl: {
            std::vector<std::pair<std::string, std::string>> notations;
            collectNotations(c, notations);
            if (notations.empty()) break;
            std::sort(notations.begin(), notations.end());
            out += "<!DOCTYPE " + c->name().toUtf8() + " [\n";
            for (const auto& notation : notations) out += notation.second;
            out += "]>\n";
            break;
        }
        case XmlTypeProcessingInstruction: appendPi(out, c); break;
        case XmlTypeElement: appendElement(out, c); break;
        default: break;
        }
    }
    return out;
}

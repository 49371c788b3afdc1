#include "CanonicalTreeSerialiser.hpp"

#include "host/KelSyntaxElement.hpp"
#include "common/XmlElementType.hpp"

#include <set>
#include <utility>
#include <vector>

namespace {

std::string text(KelSyntaxElement* e) {
    const KelValue& value = e->value();
    return value.isNull() ? std::string() : value.valueAsCharacter().toUtf8();
}

bool isNull(KelSyntaxElement* e) { return e->value().isNull(); }

// Character data: the characters that markup or line-end handling would change, as references.
void appendText(std::string& out, const std::string& data) {
    for (char c : data) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '\r': out += "&#13;"; break;
        default: out += c;
        }
    }
}

// Attribute values: also the quote and the white space that value normalisation would change.
void appendAttributeValue(std::string& out, const std::string& data) {
    for (char c : data) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '"': out += "&quot;"; break;
        case '\t': out += "&#9;"; break;
        case '\n': out += "&#10;"; break;
        case '\r': out += "&#13;"; break;
        default: out += c;
        }
    }
}

// The type the element plays in XML: its own for XML-domain types, its class for an element of
// another domain grafted in (a named container is an element, a value a piece of text).
int roleOf(KelSyntaxElement* e) {
    const int code = e->type();
    if (xmlElementTypeName(code) != nullptr) return code == XmlTypeRoot ? XmlTypeElement : code;
    return code & kXmlClassMask;
}

void appendLeaf(std::string& out, KelSyntaxElement* e, int role) {
    switch (role) {
    case XmlTypeContent:
    case XmlTypeCData:
    case XmlTypeWhiteSpace:
    case XmlTypeRawContent:
        if (!isNull(e)) appendText(out, text(e));
        break;
    case XmlTypeComment:
        if (!isNull(e)) out += "<!--" + text(e) + "-->";
        break;
    case XmlTypeProcessingInstruction:
        if (!isNull(e)) {
            const std::string data = text(e);
            out += "<?" + e->name().toUtf8() + (data.empty() ? "" : " " + data) + "?>";
        }
        break;
    default: break;   // attributes out of place, entity marks and declarations carry no content
    }
}

// The general entities the document declares. An external one's text is never read, by quarn or
// by the reader (it refuses what lies outside the bytes), so its reference reads as nothing.
std::set<std::string> declaredEntities(KelSyntaxElement* root) {
    std::set<std::string> names{"lt", "gt", "amp", "apos", "quot"};
    std::vector<KelSyntaxElement*> pending;
    for (KelSyntaxElement* c = root->firstChild(); c; c = c->nextSibling())
        if (c->type() == XmlTypeDocTypeDecl) pending.push_back(c);
    while (!pending.empty()) {
        KelSyntaxElement* e = pending.back();
        pending.pop_back();
        for (KelSyntaxElement* c = e->firstChild(); c; c = c->nextSibling()) {
            const int type = c->type();
            if (type == XmlTypeEntityDecl || type == XmlTypeExternalEntityDecl || type == XmlTypeUnparsedEntityDecl)
                names.insert(c->name().toUtf8());
            else if (c->type() == XmlTypeInternalSubset || c->type() == XmlTypeExternalSubset) pending.push_back(c);
        }
    }
    return names;
}

} // namespace

std::string CanonicalTreeSerialiser::serialise(KelSyntaxElement* root) {
    std::string out;
    const std::set<std::string> declared = declaredEntities(root);
    // Elements still open, each with its next child to visit.
    std::vector<std::pair<KelSyntaxElement*, KelSyntaxElement*>> open;
    auto enter = [&](KelSyntaxElement* element) {
        out += "<" + element->name().toUtf8();
        KelSyntaxElement* c = element->firstChild();
        for (KelSyntaxElement* a = c; a; a = a->nextSibling()) {
            if (roleOf(a) != XmlTypeAttribute || isNull(a)) continue;
            out += " " + a->name().toUtf8() + "=\"";
            appendAttributeValue(out, text(a));
            out += "\"";
        }
        out += ">";
        open.emplace_back(element, c);
    };
    bool bodySeen = false;
    for (KelSyntaxElement* top = root->firstChild(); top; top = top->nextSibling()) {
        const int role = roleOf(top);
        if (role == XmlTypeComment || role == XmlTypeProcessingInstruction) {
            appendLeaf(out, top, role);
            continue;
        }
        if (role != XmlTypeElement || bodySeen) continue;
        bodySeen = true;
        enter(top);
        while (!open.empty()) {
            KelSyntaxElement* c = open.back().second;
            if (c == nullptr) {
                out += "</" + open.back().first->name().toUtf8() + ">";
                open.pop_back();
                continue;
            }
            open.back().second = c->nextSibling();
            const int childRole = roleOf(c);
            if (childRole == XmlTypeEntityReferenceStart && !isNull(c) && declared.count(text(c)) == 0)
                out += "<?unexpanded-entity " + text(c) + "?>";
            if (childRole == XmlTypeElement) enter(c);
            else if (childRole != XmlTypeAttribute) appendLeaf(out, c, childRole);
        }
    }
    return out;
}

#include "query/XmlNamespaceScope.hpp"

#include "host/KelSyntaxElement.hpp"
#include "common/XmlElementType.hpp"

namespace {
thread_local std::size_t tElementsLookedAt = 0;
} // namespace

std::size_t XmlNamespaceScope::elementsLookedAt() noexcept { return tElementsLookedAt; }

bool XmlNamespaceScope::reserved(const KelStringBase& prefix, KelStringBase& uri) {
    if (prefix.equals("xml")) {
        uri = KelStringBase::fromAscii("http://www.w3.org/XML/1998/namespace");
        return true;
    }
    if (prefix.equals("xmlns")) {
        uri = KelStringBase::fromAscii("http://www.w3.org/2000/xmlns/");
        return true;
    }
    return false;
}

KelSyntaxElement* XmlNamespaceScope::nextDeclaration(KelSyntaxElement* element, KelSyntaxElement* after) {
    // As in lookup(): the attributes lead the element's children.
    KelSyntaxElement* c = after ? after->knownNextSibling() : element->knownFirstChild();
    if (!after) ++tElementsLookedAt;
    for (; c && c->typeCode() == XmlTypeAttribute; c = c->knownNextSibling())
        if (isDeclaration(c)) return c;
    return nullptr;
}

bool XmlNamespaceScope::lookup(KelSyntaxElement* element, const KelStringBase& prefix, KelStringBase& uri) {
    if (reserved(prefix, uri)) return true;
    KelStringBase wanted = KelStringBase::fromAscii("xmlns");
    if (!prefix.empty()) {
        wanted += u':';
        wanted += prefix;
    }
    for (KelSyntaxElement* e = element; e && e->typeCode() == XmlTypeElement; e = e->parent()) {
        ++tElementsLookedAt;
        // The attributes lead an element's children (the builder and the engine's edits put them
        // there), so the look stops at its first other child instead of reading all it holds.
        for (KelSyntaxElement* c = e->knownFirstChild(); c && c->typeCode() == XmlTypeAttribute; c = c->knownNextSibling()) {
            if (c->name() != wanted) continue;
            const KelValue& v = c->value();
            uri = v.isNull() ? KelStringBase() : v.valueAsCharacter();
            return !uri.empty();
        }
    }
    return false;
}

KelStringBase XmlNamespaceScope::uriOfElement(KelSyntaxElement* element) {
    KelStringBase uri;
    return lookup(element, prefixOf(element->name()), uri) ? uri : KelStringBase();
}

KelStringBase XmlNamespaceScope::uriOfAttribute(KelSyntaxElement* attribute) {
    const KelStringBase& name = attribute->name();
    if (name.equals("xmlns")) return KelStringBase::fromAscii("http://www.w3.org/2000/xmlns/");
    const KelStringBase prefix = prefixOf(name);
    KelStringBase uri;
    if (prefix.empty() || !lookup(attribute->parent(), prefix, uri)) return KelStringBase();
    return uri;
}

bool XmlNamespaceScope::isDeclaration(KelSyntaxElement* attribute) {
    const std::u16string_view name = attribute->name().view();
    return name.size() >= 5 && name.substr(0, 5) == u"xmlns" && (name.size() == 5 || name[5] == u':');
}

KelStringBase XmlNamespaceScope::prefixOf(const KelStringBase& name) {
    const std::size_t colon = name.find(u':');
    return colon == KelStringBase::npos ? KelStringBase() : name.substr(0, colon);
}

KelStringBase XmlNamespaceScope::localPartOf(const KelStringBase& name) {
    const std::size_t colon = name.find(u':');
    return colon == KelStringBase::npos ? name : name.substr(colon + 1);
}

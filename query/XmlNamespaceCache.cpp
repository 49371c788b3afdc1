#include "query/XmlNamespaceCache.hpp"

#include "common/XmlElementType.hpp"
#include "host/KelSyntaxElement.hpp"
#include "query/XmlNamespaceScope.hpp"

KelStringBase XmlNamespaceCache::uriOfElement(KelSyntaxElement* element) {
    return uriOf(element, XmlNamespaceScope::prefixOf(element->name()));
}

KelStringBase XmlNamespaceCache::uriOfAttribute(KelSyntaxElement* attribute) {
    const KelStringBase& name = attribute->name();
    if (name.equals("xmlns")) return XmlNamespaceScope::uriOfAttribute(attribute);
    const KelStringBase prefix = XmlNamespaceScope::prefixOf(name);
    KelSyntaxElement* owner = attribute->parent();
    if (prefix.empty() || !owner) return KelStringBase();
    return uriOf(owner, prefix);
}

KelStringBase XmlNamespaceCache::uriOf(KelSyntaxElement* element, const KelStringBase& prefix) {
    KelStringBase uri;
    if (XmlNamespaceScope::reserved(prefix, uri)) return uri;
    if (element->typeCode() != XmlTypeElement) return uri;
    reach(element);
    const auto it = iInScope.find(prefix);
    return it == iInScope.end() ? uri : iBindings[it->second].uri;
}

KelSyntaxElement* XmlNamespaceCache::topOf(KelSyntaxElement* element) {
    reach(element);
    return iChain.front().element;
}

void XmlNamespaceCache::forget(const KelSyntaxElement* element) {
    const auto it = iPlace.find(element);
    if (it != iPlace.end()) truncate(it->second);
}

void XmlNamespaceCache::reach(KelSyntaxElement* element) {
    if (!iChain.empty() && iChain.back().element == element) return;
    // The chain holds every ancestor of each element in it, so the climb stops at the first one
    // it holds (the parent, for a walk going down or along).
    iClimbed.clear();
    std::size_t keep = 0;
    for (KelSyntaxElement* e = element; e && e->typeCode() == XmlTypeElement; e = e->parent()) {
        const auto it = iPlace.find(e);
        if (it != iPlace.end()) {
            keep = it->second + 1;
            break;
        }
        iClimbed.push_back(e);
    }
    truncate(keep);
    for (auto e = iClimbed.rbegin(); e != iClimbed.rend(); ++e) {
        iPlace.emplace(*e, iChain.size());
        iChain.push_back(Open{*e, iBindings.size()});
        for (KelSyntaxElement* d = XmlNamespaceScope::nextDeclaration(*e, nullptr); d;
             d = XmlNamespaceScope::nextDeclaration(*e, d)) {
            const KelStringBase& name = d->name();
            Binding b{name.size() == 5 ? KelStringBase() : name.substr(6), KelStringBase(), npos};
            const KelValue& v = d->value();
            if (!v.isNull()) b.uri = v.valueAsCharacter();
            auto [at, added] = iInScope.emplace(b.prefix, iBindings.size());
            if (!added) {
                if (at->second >= iChain.back().bindings) continue;   // the first of two on one element holds
                b.shadowed = at->second;
                at->second = iBindings.size();
            }
            iBindings.push_back(std::move(b));
        }
    }
}

void XmlNamespaceCache::truncate(std::size_t length) {
    while (iChain.size() > length) {
        const Open open = iChain.back();
        iChain.pop_back();
        iPlace.erase(open.element);
        while (iBindings.size() > open.bindings) {
            Binding& b = iBindings.back();
            if (b.shadowed == npos) iInScope.erase(b.prefix);
            else iInScope[b.prefix] = b.shadowed;
            iBindings.pop_back();
        }
    }
}

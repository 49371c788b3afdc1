// XmlNamespaceScope: the namespace a name is in, found the way the tree keeps namespaces (it
// does not resolve them): by walking up from an element through the xmlns and xmlns:p
// attributes of it and its ancestors. Reads the part of the tree already built (an element's
// attributes are built with it); stateless.
#pragma once

#include "host/KelStringBase.hpp"

#include <cstddef>

class KelSyntaxElement;

class XmlNamespaceScope {
public:
    // The URI that the declarations in scope at `element` give `prefix` (the default namespace
    // for an empty prefix): false when none does, or when the nearest undeclares it (xmlns="").
    static bool lookup(KelSyntaxElement* element, const KelStringBase& prefix, KelStringBase& uri);
    // The URIs of the prefixes xml and xmlns, bound everywhere: false for any other prefix.
    static bool reserved(const KelStringBase& prefix, KelStringBase& uri);
    // The namespace declaration of `element` after `after` (its first when null), or null.
    static KelSyntaxElement* nextDeclaration(KelSyntaxElement* element, KelSyntaxElement* after);
    // The namespace URI of an element's name, or of an attribute's (an unprefixed attribute is in
    // none); empty when none.
    static KelStringBase uriOfElement(KelSyntaxElement* element);
    static KelStringBase uriOfAttribute(KelSyntaxElement* attribute);
    // Whether an attribute declares a namespace (xmlns, or xmlns:p): the tree keeps declarations
    // as attributes, where a path's tree has them on no axis it walks.
    static bool isDeclaration(KelSyntaxElement* attribute);
    // The part of a qualified name before and after its colon (empty prefix when none).
    static KelStringBase prefixOf(const KelStringBase& name);
    static KelStringBase localPartOf(const KelStringBase& name);
    // The elements whose declarations the lookups of this thread have read so far: the work a
    // namespace test costs, whatever the document's shape.
    static std::size_t elementsLookedAt() noexcept;
};

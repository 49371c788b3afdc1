// ElementPath: a path to an element or attribute of a message, as the quarn command takes it:
// names from the document element down, "/" between them, an optional 1-based "[n]" on each,
// and an optional final "@name" for an attribute ("order/item[2]/@qty"). Resolution walks the
// tree lazily: it scans no further into the message than the path needs.
// A value type; resolution works on a tree owned by the caller.
#pragma once

#include "host/KelStringBase.hpp"

#include <stdexcept>
#include <string>
#include <vector>

class KelSyntaxElement;

class ElementPath {
public:
    struct Step {
        KelStringBase name;
        int index = 1;       // 1-based occurrence among same-named siblings
    };

    // Throws std::invalid_argument for a malformed path.
    explicit ElementPath(const std::string& text);

    const std::string& text() const noexcept { return iText; }
    const std::vector<Step>& steps() const noexcept { return iSteps; }
    bool namesAttribute() const noexcept { return !iAttribute.empty(); }
    const KelStringBase& attribute() const noexcept { return iAttribute; }

    // The element the path names (its element steps only), or null when there is none.
    KelSyntaxElement* findElement(KelSyntaxElement* root) const;
    // The attribute child of `element` with the path's attribute name, or null.
    KelSyntaxElement* findAttribute(KelSyntaxElement* element) const;
    // The whole path: the element, or its attribute when the path names one; null if none.
    KelSyntaxElement* find(KelSyntaxElement* root) const;

private:
    std::string iText;
    std::vector<Step> iSteps;
    KelStringBase iAttribute;
};

#include "host/KelElementDeleter.hpp"

#include "host/KelParser.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelThrow.hpp"

#include <vector>

namespace {
[[noreturn]] void refuse(KelSyntaxElement* element, const char* why) {
    kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelSyntaxElement::deleteElement", KelMsg::E_Kel_DeleteRefused,
                                      why, element->describeParent());
}
} // namespace

void KelElementDeleter::deleteSubtree(KelSyntaxElement* element) {
    if (element == nullptr) return;
    if (element->parent() != nullptr) refuse(element, "it is still attached; detach it first");
    // The subtree in document order, by its links: nothing is scanned, and deep trees need no stack.
    std::vector<KelSyntaxElement*> all;
    for (KelSyntaxElement* e = element; e != nullptr;) {
        all.push_back(e);
        if (KelSyntaxElement* child = e->knownFirstChild()) {
            e = child;
            continue;
        }
        while (e != element && e->knownNextSibling() == nullptr) e = e->parent();
        e = e == element ? nullptr : e->knownNextSibling();
    }
    for (KelSyntaxElement* e : all) {
        KelParser* parser = e->parser();
        if (parser == nullptr || !parser->elementPool().holds(e)) refuse(element, "it was not made by a parser");
        if (parser->rootElement() == e) refuse(element, "it is the root element of its parser");
        if (!e->isCompleteLeft() || !e->isCompleteRight())
            refuse(element, "the scan is still building into it");
        // A scan holds its elements by the path up to them, which passes through the top element.
        const bool topOfItsParser = e == element || e->parent()->parser() != parser;
        if (topOfItsParser && parser->holdsElement(element)) refuse(element, "the scan is still building into it");
    }
    for (KelSyntaxElement* e : all) e->parser()->elementPool().destroyElement(e);
}

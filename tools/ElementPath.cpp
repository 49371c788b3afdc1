#include "tools/ElementPath.hpp"

#include "host/KelSyntaxElement.hpp"
#include "parser/XmlElementType.hpp"

#include <cstdlib>

ElementPath::ElementPath(const std::string& text) : iText(text) {
    if (text.empty()) throw std::invalid_argument("empty path");
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t slash = text.find('/', pos);
        std::string part = text.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
        bool last = slash == std::string::npos;
        if (part.empty()) throw std::invalid_argument("empty step in path '" + text + "'");
        if (part[0] == '@') {
            if (!last || part.size() == 1 || iSteps.empty())
                throw std::invalid_argument("an attribute may only end a path below an element: '" + text + "'");
            iAttribute = KelStringBase::fromUtf8(part.substr(1));
            break;
        }
        Step step;
        std::size_t bracket = part.find('[');
        if (bracket != std::string::npos) {
            if (part.back() != ']' || bracket == 0)
                throw std::invalid_argument("malformed index in path step '" + part + "'");
            std::string digits = part.substr(bracket + 1, part.size() - bracket - 2);
            char* end = nullptr;
            long n = std::strtol(digits.c_str(), &end, 10);
            if (digits.empty() || *end != '\0' || n < 1 || n > 1000000000)
                throw std::invalid_argument("index must be a positive number in path step '" + part + "'");
            step.index = static_cast<int>(n);
            part = part.substr(0, bracket);
        }
        step.name = KelStringBase::fromUtf8(part);
        iSteps.push_back(step);
        if (last) break;
        pos = slash + 1;
    }
}

KelSyntaxElement* ElementPath::findElement(KelSyntaxElement* root) const {
    // The first step names the document element among the root's children.
    KelSyntaxElement* current = root;
    for (const Step& step : iSteps) {
        int seen = 0;
        KelSyntaxElement* match = nullptr;
        for (KelSyntaxElement* child = current->firstChild(); child; child = child->nextSibling()) {
            if (child->type() == XmlTypeElement && child->name() == step.name && ++seen == step.index) {
                match = child;
                break;
            }
        }
        if (!match) return nullptr;
        current = match;
    }
    return current == root ? nullptr : current;
}

KelSyntaxElement* ElementPath::findAttribute(KelSyntaxElement* element) const {
    // Attributes come first among a parsed element's children; a hand-built element may have
    // them anywhere, so the walk goes on through the known children but never scans for more
    // once the attributes of a scanned start tag are behind it.
    for (KelSyntaxElement* child = element->firstChild(); child; child = child->knownNextSibling()) {
        if (child->type() == XmlTypeAttribute && child->name() == iAttribute) return child;
    }
    return nullptr;
}

KelSyntaxElement* ElementPath::find(KelSyntaxElement* root) const {
    KelSyntaxElement* element = findElement(root);
    if (!element || !namesAttribute()) return element;
    return findAttribute(element);
}

#include "query/XmlDocumentOrder.hpp"

#include "host/KelSyntaxElement.hpp"

#include <algorithm>
#include <utility>

void XmlDocumentOrder::sortUnique(std::vector<Match>& nodes) {
    if (nodes.size() < 2) return;
    XmlDocumentOrder order;
    std::vector<std::pair<std::vector<std::size_t>, std::size_t>> keyed;
    keyed.reserve(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) keyed.emplace_back(order.key(nodes[i].element), i);
    // An ancestor's key is a prefix of its descendants' and sorts first; attributes are the first
    // children of their element in the tree, so they come before its content, as they should.
    std::sort(keyed.begin(), keyed.end());
    std::vector<Match> sorted;
    sorted.reserve(nodes.size());
    for (std::size_t i = 0; i < keyed.size(); ++i) {
        if (i > 0 && keyed[i].first == keyed[i - 1].first) continue;
        sorted.push_back(nodes[keyed[i].second]);
    }
    nodes = std::move(sorted);
}

std::vector<std::size_t> XmlDocumentOrder::key(const KelSyntaxElement* element) {
    std::vector<std::size_t> k;
    for (const KelSyntaxElement* e = element; e && e->parent(); e = e->parent()) k.push_back(position(e));
    std::reverse(k.begin(), k.end());
    return k;
}

std::size_t XmlDocumentOrder::position(const KelSyntaxElement* element) {
    auto found = iPositions.find(element);
    if (found != iPositions.end()) return found->second;
    // Number every known child of the parent at once: the set's other nodes are often siblings.
    std::size_t i = 0;
    for (const KelSyntaxElement* c = element->parent()->knownFirstChild(); c; c = c->knownNextSibling()) iPositions[c] = i++;
    return iPositions[element];
}

#include "query/XmlDocumentOrder.hpp"

#include "host/KelSyntaxElement.hpp"

#include <algorithm>
#include <utility>

namespace {
thread_local std::size_t tStepsUp = 0;
} // namespace

std::size_t XmlDocumentOrder::stepsUp() noexcept { return tStepsUp; }

void XmlDocumentOrder::sortUnique(std::vector<Match>& nodes) {
    if (nodes.size() < 2) return;
    XmlDocumentOrder order;
    for (const Match& m : nodes) order.add(m.element);
    order.number();
    std::vector<std::pair<std::size_t, std::size_t>> keyed;
    keyed.reserve(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) keyed.emplace_back(order.iNumbers[nodes[i].element], i);
    std::sort(keyed.begin(), keyed.end());
    std::vector<Match> sorted;
    sorted.reserve(nodes.size());
    for (std::size_t i = 0; i < keyed.size(); ++i) {
        if (i > 0 && keyed[i].first == keyed[i - 1].first) continue;
        sorted.push_back(nodes[keyed[i].second]);
    }
    nodes = std::move(sorted);
}

void XmlDocumentOrder::add(const KelSyntaxElement* element) {
    // The climb stops at the first node added before, whose ancestors are in already: a deep
    // set costs each ancestor once, not once for each of its nodes.
    for (const KelSyntaxElement* e = element; e; e = e->parent()) {
        if (!iNumbers.emplace(e, 0).second) return;
        const KelSyntaxElement* parent = e->parent();
        if (!parent) {
            iTops.push_back(e);
            return;
        }
        ++tStepsUp;
        iBelow[parent].push_back(e);
    }
}

void XmlDocumentOrder::number() {
    // Depth first from each top, on a stack of its own (the tree may be far deeper than the call
    // stack); the children of a node by their places among its children, where attributes come
    // first, so before its content.
    std::vector<const KelSyntaxElement*> pending(iTops.rbegin(), iTops.rend());
    std::unordered_map<const KelSyntaxElement*, std::size_t> place;
    std::size_t next = 0;
    while (!pending.empty()) {
        const KelSyntaxElement* e = pending.back();
        pending.pop_back();
        iNumbers[e] = next++;
        const auto found = iBelow.find(e);
        if (found == iBelow.end()) continue;
        std::vector<const KelSyntaxElement*>& children = found->second;
        if (children.size() > 1) {
            place.clear();
            std::size_t i = 0;
            for (const KelSyntaxElement* c = e->knownFirstChild(); c; c = c->knownNextSibling()) place[c] = i++;
            std::sort(children.begin(), children.end(),
                      [&](const KelSyntaxElement* a, const KelSyntaxElement* b) { return place[a] < place[b]; });
        }
        pending.insert(pending.end(), children.rbegin(), children.rend());
    }
}

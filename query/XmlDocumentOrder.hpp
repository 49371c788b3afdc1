// XmlDocumentOrder: puts the nodes of a gathered node set (a union, a filter's steps) in
// document order and drops repeats, looking only at the part of the tree already built (every
// node it is given is in it). Holds the part of the tree that holds the set; one sort per object.
#pragma once

#include "query/XmlPathQuery.hpp"

#include <cstddef>
#include <unordered_map>
#include <vector>

class XmlDocumentOrder {
public:
    using Match = XmlPathQuery::Match;
    static void sortUnique(std::vector<Match>& nodes);
    // The steps up from a node to its parent that the sorts of this thread have taken so far.
    static std::size_t stepsUp() noexcept;

private:
    // Adds `element` and the ancestors not added before under their parents.
    void add(const KelSyntaxElement* element);
    // Numbers what add() has gathered in document order, each node before what it holds.
    void number();

    std::unordered_map<const KelSyntaxElement*, std::size_t> iNumbers;   // in document order
    std::unordered_map<const KelSyntaxElement*, std::vector<const KelSyntaxElement*>> iBelow;
    std::vector<const KelSyntaxElement*> iTops;
};

// XmlDocumentOrder: puts the nodes of a gathered node set (a union, a filter's steps) in
// document order and drops repeats, looking only at the part of the tree already built (every
// node it is given is in it). Holds the sibling positions it has counted; one sort per object.
#pragma once

#include "query/XmlPathQuery.hpp"

#include <cstddef>
#include <unordered_map>
#include <vector>

class XmlDocumentOrder {
public:
    using Match = XmlPathQuery::Match;
    static void sortUnique(std::vector<Match>& nodes);

private:
    // The sibling positions from the top of the tree down to the node.
    std::vector<std::size_t> key(const KelSyntaxElement* element);
    std::size_t position(const KelSyntaxElement* element);

    std::unordered_map<const KelSyntaxElement*, std::size_t> iPositions;
};

// XmlBuilderLimits: the bounds the tree builder sets on one document, so that hostile input ends
// in a parse error ("E_XmlP_LimitExceeded") instead of using up memory, stack or time. What entity
// expansion and defaulted attributes add is bounded in proportion to the document's own size, so
// a large ordinary document passes however many references or defaults it holds. A plain value;
// the builder keeps its own copy.
#pragma once

#include <climits>

struct XmlBuilderLimits {
    // What expansion adds, as a multiple of the document: the document's length in bytes plus
    // what entity expansions and defaulted attributes add (in code units, see
    // XmlExpansionMeter for how each counts) may not pass this factor times the document's
    // length once that sum has passed the threshold below.
    unsigned long amplificationFactor = 100;
    // Below this sum (in code units) nothing is refused for amplification: a small document
    // may use a few large entities.
    unsigned long amplificationThreshold = 8UL * 1024 * 1024;
    // Entities open inside one another (a reference in an entity's text opens one level more).
    unsigned long entityDepth = 40;
    // A fixed ceiling on entity expansions in one document, for a host that wants one on top of
    // the amplification bound. None by default.
    unsigned long entityExpansions = ULONG_MAX;
    // Attributes of one start tag, defaulted ones included.
    unsigned long attributesPerElement = 10000;
    // Code units of one name: element, attribute, processing-instruction target, entity,
    // notation, or the document type's root.
    unsigned long nameLength = 4096;
    // Elements open at once. Nothing in the parser, the checks or the writer recurses along the
    // depth, so this only bounds the scanner's element stack.
    unsigned long nestingDepth = 1000000;
    // What the scanner itself holds while it reads (declarations, content models, attribute
    // lists, readers), in bytes, as a multiple of the document's length once past the threshold
    // below: a content model of a few megabytes took hundreds of bytes a particle.
    unsigned long scannerMemoryFactor = 32;
    unsigned long scannerMemoryThreshold = 64UL * 1024 * 1024;
    // A fixed ceiling on the syntax elements built for a document (attributes and declarations
    // included), for a host that wants one. None by default: what the document spells out grows
    // with its size, and what expansion makes counts towards the amplification bound.
    unsigned long elementCount = ULONG_MAX;
};

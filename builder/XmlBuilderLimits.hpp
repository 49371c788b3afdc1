// XmlBuilderLimits: the bounds the tree builder sets on one document, so that hostile input ends
// in a parse error ("E_XmlP_LimitExceeded") instead of using up memory, stack or time. Each
// default lies far beyond what real messages need. A plain value; the builder keeps its own copy.
#pragma once

struct XmlBuilderLimits {
    // Entity references expanded in one document (nested ones included): stops "billion laughs".
    unsigned long entityExpansions = 50000;
    // Code units of character data and attribute values that a document may produce beyond its
    // own length in bytes: stops a large entity or default value repeated many times. The
    // expansion count is also lowered so that the largest declared entity, expanded as often as
    // the count allows, stays within this figure.
    unsigned long expandedText = 16UL * 1024 * 1024;
    // Attributes of one start tag, defaulted ones included.
    unsigned long attributesPerElement = 10000;
    // Code units of one name: element, attribute, processing-instruction target, entity,
    // notation, or the document type's root.
    unsigned long nameLength = 4096;
    // Elements open at once. Nothing in the parser, the checks or the writer recurses along the
    // depth, so this only bounds the scanner's element stack.
    unsigned long nestingDepth = 1000000;
    // Syntax elements of every kind (attributes and declarations included) built for a document.
    unsigned long elementCount = 10000000;
};

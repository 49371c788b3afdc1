// XmlBoundedScanner: the scanner library's DTD-aware scanner with one addition: the tree builder
// may lower the entity-expansion limit in the middle of a document (once it knows how long the
// declared entities are) without restarting the count, which the library's own setter does.
// Owned by the tree builder; used by one thread at a time.
#pragma once

#include <xercesc/internal/DGXMLScanner.hpp>

class XmlBoundedScanner : public xercesc::DGXMLScanner {
public:
    using xercesc::DGXMLScanner::DGXMLScanner;

    // The limit in force for this document (set from the security settings at the first step).
    XMLSize_t expansionLimit() const noexcept { return fEntityExpansionLimit; }
    // Lowers the limit (never raises it, never below 1); expansions already made still count.
    void lowerExpansionLimit(XMLSize_t limit) noexcept;
};

// XmlBoundedScanner: the scanner library's DTD-aware scanner, which lets the tree builder read
// the entity-expansion limit in force for the document (set from the security settings at the
// first step) to report it. Owned by the tree builder; used by one thread at a time.
#pragma once

#include <xercesc/internal/DGXMLScanner.hpp>

class XmlBoundedScanner : public xercesc::DGXMLScanner {
public:
    using xercesc::DGXMLScanner::DGXMLScanner;

    // The limit in force for this document.
    XMLSize_t expansionLimit() const noexcept { return fEntityExpansionLimit; }
};

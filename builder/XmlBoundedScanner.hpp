// XmlBoundedScanner: the scanner library's DTD-aware scanner with one addition: a reference to
// an entity that no declaration defines, where that is no error (the document does not stand
// alone, and has an external subset or parameter-entity references), is reported as a reference
// with no content instead of vanishing. The tree builder reads the entity-expansion limit in force
// (set from the security settings at the first step) to report it.
// Owned by the tree builder; used by one thread at a time.
#pragma once

#include <xercesc/internal/DGXMLScanner.hpp>
#include <xercesc/validators/DTD/DTDEntityDecl.hpp>

class XmlBoundedScanner : public xercesc::DGXMLScanner {
public:
    using xercesc::DGXMLScanner::DGXMLScanner;

    // The limit in force for this document.
    XMLSize_t expansionLimit() const noexcept { return fEntityExpansionLimit; }
    // A new document: no attribute value has lacked a reference yet.
    void forgetUndeclaredReferences() noexcept { iUndeclaredInAttribute = false; }

    // Whether an attribute value read since the last call held a reference to an undeclared
    // entity (its value then lacks that reference's text); clears the note.
    bool takeUndeclaredReferenceInAttribute() noexcept {
        const bool met = iUndeclaredInAttribute;
        iUndeclaredInAttribute = false;
        return met;
    }

protected:
    // The library's entity reference scan, except that a reference to an undeclared entity, where
    // that is no error (the document has an external subset or parameter entity references and
    // does not stand alone), is kept: in content as a start and an end event with nothing between,
    // in an attribute value as a note for takeUndeclaredReferenceInAttribute().
    EntityExpRes scanEntityRef(const bool inAttVal, XMLCh& firstCh, XMLCh& secondCh, bool& escaped) override;

private:
    // Counts one expansion against the limit, as the library does.
    void countExpansion();

    xercesc::DTDEntityDecl iUndeclared{nullptr, false};   // stands for the undeclared entity in events
    bool iUndeclaredInAttribute = false;
};

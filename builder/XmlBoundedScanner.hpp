// XmlBoundedScanner: the scanner library's DTD-aware scanner with one addition: a reference to
// an entity that no declaration defines, where that is no error (the document does not stand
// alone, and has an external subset or parameter-entity references), is reported as a reference
// with no content instead of vanishing. The tree builder reads the entity-expansion limit in force
// (set from the security settings at the first step) to report it.
// A reference in content to an internal entity whose text is plain characters (no markup, no
// references, no ']' or '>', no line end a reader would change), followed by markup, is expanded
// where it stands, without the reader and the end-of-entity exception the library spends on it:
// the same events in the same steps, with the same limits and positions. readingInPlace() tells
// the builder that the text it is given is the entity's, as a reader of its own would have; the
// end of the reference waits for the next step, as the library sends it (finishInPlace).
// Owned by the tree builder; used by one thread at a time. Borrows the expansion meter.
#pragma once

#include <xercesc/internal/DGXMLScanner.hpp>
#include <xercesc/internal/XMLReader.hpp>
#include <xercesc/validators/DTD/DTDEntityDecl.hpp>

#include <unordered_set>

class XmlExpansionMeter;

class XmlBoundedScanner : public xercesc::DGXMLScanner {
public:
    using xercesc::DGXMLScanner::DGXMLScanner;

    // A new document is read as XML 1.0 until its declaration says otherwise, as a new scanner
    // reads it: the library would read it in the version of the last document it read, and a
    // document without a declaration after an XML 1.1 one would have its NEL and U+2028 read as
    // line ends. Called once the document's reader is made, before anything is read from it.
    void readAsNewDocument() {
        fXMLVersion = xercesc::XMLReader::XMLV1_0;
        if (fReaderMgr.getCurrentReader() != nullptr) fReaderMgr.setXMLVersion(xercesc::XMLReader::XMLV1_0);
    }
    // The limit in force for this document.
    XMLSize_t expansionLimit() const noexcept { return fEntityExpansionLimit; }
    // A new document: no attribute value has lacked a reference yet, none was expanded in place.
    void forgetUndeclaredReferences() noexcept {
        iUndeclaredInAttribute = false;
        iInPlaceCount = 0;
        iPendingEnd = nullptr;
        iDeclarationsUnprocessed = false;
        iUnprocessed.clear();
    }

    // The internal subset referred to a parameter entity that is not read (an external one) in a
    // document that does not stand alone: XML 1.0 section 5.1 leaves the entity and attribute-list
    // declarations after the reference unprocessed, for the rest of the document type.
    void leaveLaterDeclarationsUnprocessed() noexcept { iDeclarationsUnprocessed = true; }
    bool declarationsUnprocessed() const noexcept { return iDeclarationsUnprocessed; }
    // A general entity whose declaration came after such a reference: the library has put it in
    // the grammar, but a reference to it reads as one to an undeclared entity (kept as it stands,
    // as the text the parameter entity would have held may declare it otherwise, or not at all).
    void leaveUndeclared(const xercesc::DTDEntityDecl& decl) { iUnprocessed.insert(&decl); }

    // Whether an attribute value read since the last call held a reference to an undeclared
    // entity (its value then lacks that reference's text); clears the note.
    bool takeUndeclaredReferenceInAttribute() noexcept {
        const bool met = iUndeclaredInAttribute;
        iUndeclaredInAttribute = false;
        return met;
    }

    // The meter that hears of every expansion opened and closed without a reader (null: none).
    void setMeter(XmlExpansionMeter* meter) noexcept { iMeter = meter; }
    // Whether plain entity text is expanded in place (the default); off, every reference opens a
    // reader, as the library does, so that both ways can be held to the same answers.
    void setExpandInPlace(bool inPlace) noexcept { iExpandInPlace = inPlace; }
    // True while the events of an in-place expansion's start and text are being sent.
    bool readingInPlace() const noexcept { return iReadingInPlace; }
    // A reference expanded in place in the last step waits for its end, which the next step
    // sends first (before the scanner's own step), as the library's reader ends there.
    bool inPlaceEndPending() const noexcept { return iPendingEnd != nullptr; }
    void finishInPlace();
    // The scan is given up: a pending end belongs to no document.
    void forgetInPlace() noexcept {
        iPendingEnd = nullptr;
        iReadingInPlace = false;
    }
    // References of this document expanded in place so far.
    unsigned long expansionsInPlace() const noexcept { return iInPlaceCount; }

protected:
    // The library's entity reference scan, except that a reference to an undeclared entity (or to
    // one left undeclared by leaveUndeclared()), where
    // that is no error (the document has an external subset or parameter entity references and
    // does not stand alone), is kept: in content as a start and an end event with nothing between,
    // in an attribute value as a note for takeUndeclaredReferenceInAttribute().
    EntityExpRes scanEntityRef(const bool inAttVal, XMLCh& firstCh, XMLCh& secondCh, bool& escaped) override;

private:
    // Counts one expansion against the limit, as the library does.
    void countExpansion();
    // Expands `decl` (an internal general entity met in content) where the reference stands when
    // its text allows; false when it must be read through a reader of its own.
    bool expandedInPlace(xercesc::DTDEntityDecl& decl);
    // Opens a reader for the external entity `decl` referred to as `name`, as the library does.
    EntityExpRes pushExternalEntity(xercesc::DTDEntityDecl& decl, const XMLCh* name, bool inAttVal);
    static bool isPlainText(const XMLCh* text, XMLSize_t length) noexcept;

    xercesc::DTDEntityDecl iUndeclared{nullptr, false};   // stands for the undeclared entity in events
    bool iUndeclaredInAttribute = false;
    XmlExpansionMeter* iMeter = nullptr;
    bool iExpandInPlace = true;
    bool iReadingInPlace = false;
    xercesc::DTDEntityDecl* iPendingEnd = nullptr;   // expanded in place, its end not yet sent
    unsigned long iInPlaceCount = 0;
    bool iDeclarationsUnprocessed = false;
    std::unordered_set<const xercesc::DTDEntityDecl*> iUnprocessed;   // declared after an unread parameter entity
};

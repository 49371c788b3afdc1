// XmlScanFailures: the tree builder's failure reports. Whatever ends a scan (an error the scanner
// reports, a limit the document breaks, a fault the builder finds itself) becomes one
// KelParserException with the scanner's inserts and, where the bitstream shows them, the place of
// the failure and the element at fault. Reports carry the builder's names: it is their log
// source, and its operations are their functions.
// Ownership: one per tree builder; borrows the builder and its span locator (for the bytes).
// Thread rules: used by its builder's thread, one call at a time.
#pragma once

#include "host/KelException.hpp"
#include "host/KelStringBase.hpp"

#include <xercesc/util/XercesDefs.hpp>

#include <memory>

XERCES_CPP_NAMESPACE_BEGIN
class Locator;
XERCES_CPP_NAMESPACE_END

class KelOwnedLogSource;
class XmlSpanLocator;

class XmlScanFailures {
public:
    // Who is at fault as the scan stands.
    struct Blame {
        KelStringBase element;   // the element being filled
        bool insideRoot;         // it lies below the root (outside the document element none is at fault)
        const XMLCh* startTag;   // the start tag being built, whose own element a fault inside it concerns
    };

    XmlScanFailures(const KelOwnedLogSource* builder, const XmlSpanLocator& bytes) noexcept
        : iBuilder(builder), iBytes(bytes) {}
    XmlScanFailures(const XmlScanFailures&) = delete;
    XmlScanFailures& operator=(const XmlScanFailures&) = delete;

    // Raises E_XmlP_LimitExceeded naming the limit and its value, at the scanner's place `where`.
    [[noreturn]] void limit(const char* limit, unsigned long value, const xercesc::Locator* where,
                            const Blame& blame) const;
    // Raises E_XmlP_Generic for an error the scanner reported (code, domain, text, entity ids, its
    // line and column).
    [[noreturn]] void scannerError(unsigned int code, const XMLCh* domain, const XMLCh* text, const XMLCh* systemId,
                                   const XMLCh* publicId, XMLFileLoc line, XMLFileLoc column, const Blame& blame) const;
    // Raises E_XmlP_Generic with a message of the builder's own and no place.
    [[noreturn]] void message(int code, const XMLCh* text, const KelStringBase& element) const;
    // The report of an exception foreign to the builder that ended a step.
    std::unique_ptr<KelException> unexpected(const char* what, const KelStringBase& element) const;

    // Error texts and identifiers as exception inserts: the host's strings, cut to a bounded length.
    static KelStringBase boundedText(const XMLCh* text);
    // An element name as an insert or the element at fault: cut to the same length, marked "...".
    static KelStringBase boundedName(const char16_t* name, std::size_t length);

private:
    // The place of a failure in the bitstream from the scanner's line and column (or, for bytes
    // the code page rejects, from the bytes themselves); a start tag met by the fault inside it
    // becomes `element` unless the tag being built is known.
    KelDocumentPosition locate(bool badBytes, long line, long column, bool startTagKnown, KelStringBase& element) const;

    const KelOwnedLogSource* iBuilder;
    const XmlSpanLocator& iBytes;
};

#include "builder/XmlScanFailures.hpp"

#include "builder/XmlErrorLocator.hpp"
#include "builder/XmlSpanLocator.hpp"
#include "host/KelLog.hpp"
#include "host/KelThrow.hpp"

#include <xercesc/framework/XMLErrorCodes.hpp>
#include <xercesc/sax/Locator.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUni.hpp>

#include <exception>

using namespace xercesc;

namespace {
// Error texts and identifiers are cut to this many code units in exception inserts.
constexpr std::size_t kMaxInsertUnits = 999;
bool hasText(const XMLCh* text) { return text != nullptr && *text != 0; }
} // namespace

KelStringBase XmlScanFailures::boundedText(const XMLCh* text) {
    if (text == nullptr) return KelStringBase();
    std::size_t length = 0;
    while (text[length] != 0 && length < kMaxInsertUnits) ++length;
    return KelStringBase(text, length);
}

KelStringBase XmlScanFailures::boundedName(const char16_t* name, std::size_t length) {
    if (length <= kMaxInsertUnits) return KelStringBase(name, length);
    // A name past the name-length limit is the one that limit stops: quoted whole, a hostile
    // name of megabytes became a report of megabytes (and a dead letter's error header).
    std::size_t kept = kMaxInsertUnits;
    if (name[kept - 1] >= 0xD800 && name[kept - 1] <= 0xDBFF) --kept;   // no half of a pair
    KelStringBase cut(name, kept);
    cut.append(u"...", 3);
    return cut;
}

void XmlScanFailures::limit(const char* limit, unsigned long value, const Locator* where, const Blame& blame) const {
    const long line = where ? static_cast<long>(where->getLineNumber()) : 0;
    const long column = where ? static_cast<long>(where->getColumnNumber()) : 0;
    const KelStringBase element = boundedName(blame.element.data(), blame.element.length());
    KelStringBase faultElement = blame.startTag ? boundedName(blame.startTag, XMLString::stringLen(blame.startTag))
                                 : blame.insideRoot ? element
                                                    : KelStringBase();
    const KelDocumentPosition place = locate(false, line, column, blame.startTag != nullptr, faultElement);
    kelThrowAt(place, faultElement, iBuilder, KEL_HERE, "XmlBrokerOrvaneParser::checkLimits",
               KelMsg::E_XmlP_LimitExceeded, limit, value, line, column, element);
}

void XmlScanFailures::scannerError(unsigned int code, const XMLCh* domain, const XMLCh* errorText,
                                   const XMLCh* systemId, const XMLCh* publicId, XMLFileLoc lineNum,
                                   XMLFileLoc colNumber, const Blame& blame) const {
    // Texts go in as the host's strings, cut to a bounded length: narrowing them to a single-byte
    // code page would turn every character outside it into something else.
    const KelStringBase identifier = boundedText(hasText(publicId) ? publicId : systemId);
    const KelStringBase text = boundedText(errorText);
    // Bytes the code page rejects are reported by the scanner where its decoding stood, which
    // may be lines before them: their own place is found from the bytes.
    const bool badBytes = domain != nullptr && XMLString::equals(domain, XMLUni::fgExceptDomain);
    // A character XML does not allow is reported just past it; the place is the character's own.
    XMLFileLoc colNum = colNumber;
    if (!badBytes && code == XMLErrs::InvalidCharacter && colNum > 1) --colNum;
    // Outside the document element no element is at fault (the one being filled is the root).
    const KelStringBase element = boundedName(blame.element.data(), blame.element.length());
    KelStringBase faultElement = blame.insideRoot ? element : KelStringBase();
    const KelDocumentPosition where = locate(badBytes, static_cast<long>(lineNum), static_cast<long>(colNum),
                                             blame.startTag != nullptr, faultElement);
    const long line = badBytes && where.line > 0 ? where.line : static_cast<long>(lineNum);
    const long column = badBytes && where.line > 0 ? where.column : static_cast<long>(colNum);
    kelThrowAt(where, faultElement, iBuilder, KEL_HERE, "XmlBrokerOrvaneParser::error", KelMsg::E_XmlP_Generic,
               static_cast<long>(code), identifier, line, column, text, element);
}

void XmlScanFailures::message(int code, const XMLCh* text, const KelStringBase& element) const {
    kelThrow<KelParserException>(iBuilder, KEL_HERE, "XmlBrokerOrvaneParser::parseNextItem", KelMsg::E_XmlP_Generic,
                                 code, KelStringBase(), 0, 0, boundedText(text), element);
}

std::unique_ptr<KelException> XmlScanFailures::unexpected(const char* what, const KelStringBase& element) const {
    KelParserException failure(iBuilder, KEL_HERE, "XmlBrokerOrvaneParser::parseNextItem", KelLog::iDefaultLogSource,
                               KelMsg::E_XmlP_Generic.number, KelMsg::E_XmlP_Generic.text);
    failure << 0 << "" << 0 << 0 << (what ? what : "") << element;
    return failure.clone();
}

KelDocumentPosition XmlScanFailures::locate(bool badBytes, long line, long column, bool startTagKnown,
                                            KelStringBase& element) const {
    KelDocumentPosition where;
    // The bytes being scanned: the stored bitstream, or the one a tree-less check was given.
    if (iBytes.bitStream() == nullptr || line <= 0) {
        if (!badBytes) return where;
    }
    try {
        XmlErrorLocator locator(iBytes.bitStream(), iBytes.length(), iBytes.codePage(), iBytes.readsBigEndian(),
                                iBytes.bomLength());
        if (!(badBytes && locator.firstInvalid(where))) {
            if (line <= 0) return where;
            where = locator.at(line, column);
        }
        // A start tag met by a name or attribute fault inside it is the element at fault (the
        // scanner has not reported it, so it is not the one being filled).
        if (!startTagKnown) {
            KelStringBase tag = locator.startTagAround(where);
            if (!tag.empty()) element = boundedName(tag.data(), tag.length());
        }
    } catch (const std::exception&) {
        // The report goes on without a place rather than fail itself.
    }
    return where;
}

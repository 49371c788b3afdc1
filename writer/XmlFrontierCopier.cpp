#include "writer/XmlFrontierCopier.hpp"

#include "builder/XmlBrokerOrvaneParser.hpp"
#include "common/XmlConstants.hpp"
#include "host/KelConverter.hpp"
#include "host/KelSingleByteTable.hpp"
#include "host/KelThrow.hpp"
#include "host/KelWriteBuffer.hpp"
#include "common/XmlElementType.hpp"
#include "parser/XmlKelParser.hpp"
#include "parser/XmlKelSyntaxElement.hpp"
#include "writer/XmlBrokerOrvaneWriter.hpp"
#include "writer/XmlPageCoverage.hpp"

#include <cstring>

#include <unicode/ucnv.h>

#include <string>

namespace {
// Scan steps taken, at most, to reach a frontier that is known exactly (a long run of text that
// the scanner hands over in pieces may need a few).
constexpr int kStepsToFrontier = 64;

bool isUtf16(long ccsid) noexcept { return KelConverter::isUtf16Ccsid(static_cast<int>(ccsid)); }

std::string icuNameOf(long ccsid, bool bigEndian) {
    if (isUtf16(ccsid)) return bigEndian ? "UTF-16BE" : "UTF-16LE";
    if (ccsid == 1208) return "UTF-8";
    return KelConverter::icuNameFor(static_cast<int>(ccsid));
}

// A page that shifts between states cannot be cut or joined at an arbitrary character: the state
// at the frontier is not the state a fresh conversion starts in.
bool isStateful(long ccsid) {
    if (isUtf16(ccsid) || ccsid == 1208) return false;
    UConverter* converter = KelConverter::openStrict(icuNameOf(ccsid, true).c_str());
    if (converter == nullptr) return true;
    const UConverterType type = ucnv_getType(converter);
    ucnv_close(converter);
    switch (type) {
    case UCNV_SBCS:
    case UCNV_DBCS:
    case UCNV_MBCS:
    case UCNV_LATIN_1:
    case UCNV_US_ASCII:
    case UCNV_UTF8:
    case UCNV_UTF16_BigEndian:
    case UCNV_UTF16_LittleEndian:
    case UCNV_UTF32_BigEndian:
    case UCNV_UTF32_LittleEndian:
    case UCNV_CESU8: return false;
    default: return true;
    }
}

} // namespace

bool XmlFrontierCopier::prepare(KelSyntaxElement* root, long ccsid) {
    XmlBrokerOrvaneWriter& w = *iWriter;
    if (!w.iSpanReuse || iOwner == nullptr || root == nullptr || root != iOwner->rootElement()) return false;
    if (root->isCompleteRight()) return false;
    XmlBrokerOrvaneParser* builder = iOwner->treeBuilder();
    const KelBuffer& input = iOwner->storedBitStream();
    if (builder == nullptr || !builder->canScan() || input.data() == nullptr || input.length() <= 0) return false;
    if (isStateful(iOwner->storedCcsid()) || isStateful(ccsid)) return false;
    iRoot = root;

    // The document element must have begun: the tree checks need it, and the prolog before it
    // is written from the tree.
    for (KelSyntaxElement* c = root->firstChild(); c != nullptr; c = c->nextSibling()) {
        const int type = w.effectiveType(c);
        if (type == XmlTypeRoot) return false;   // another parser's tree grafted in
        if (type == XmlTypeElement) {
            iBody = c;
            break;
        }
    }
    if (iBody == nullptr || root->isCompleteRight()) return false;
    try {
        for (int step = 0; step < kStepsToFrontier && !root->isCompleteRight(); ++step) {
            if ((iFrontier = builder->frontier()) != nullptr) break;
            builder->parseNextItem();
        }
    } catch (const KelParserException& e) {
        kelThrow<KelParserException>(iOwner, KEL_HERE, "KelXmlParser::parseLastChild", KelMsg::E_XmlP_ParseError, e);
    }
    iEnd = input.data() + input.length();
    if (iFrontier == nullptr || root->isCompleteRight() || iFrontier < input.data() || iFrontier > iEnd) return false;

    // Every element open at the frontier still has the name, type and place its start tag gave
    // it, and nothing stands after it: its end tag in the rest closes it.
    const KelSyntaxElement* parent = root;
    for (const XmlBrokerOrvaneParser::OpenElement& open : builder->openElements()) {
        auto* e = const_cast<XmlKelSyntaxElement*>(open.element);
        if (e->typeCode() != XmlTypeElement || e->isUnresolved() || !(e->storedName() == *open.name) ||
            e->parser() != iOwner || e->parent() != parent || e->knownNextSibling() != nullptr)
            return false;
        iOpen.push_back(e);
        parent = e;
    }
    if (builder->currentElement() != parent) return false;   // the frontier is in the document type
    if (iOpen.empty() ? !iBody->isCompleteRight() : iOpen.front() != iBody) return false;
    // Nothing was put after what the scan attached last.
    const KelSyntaxElement* last = builder->lastAttached();
    if (last == parent ? parent->knownLastChild() != nullptr : last == nullptr || parent->knownLastChild() != last)
        return false;
    return true;
}

void XmlFrontierCopier::validateBuiltPart() {
    // The parser's checks, over the known links only. The rest was never built: the scan, and a
    // check without a tree where the host wants one, vouch for it.
    int bodies = 0;
    for (KelSyntaxElement* c = iRoot->knownFirstChild(); c != nullptr; c = c->knownNextSibling())
        if (c->type() == XmlTypeElement) ++bodies;
    if (bodies != 1)
        kelThrow<KelParserException>(iOwner, KEL_HERE, "XmlKelParser::checkForBodyElement", KelMsg::E_XmlP_NoBody);
    for (KelSyntaxElement* e = iRoot; e != nullptr;) {
        if (e->type() == XmlTypeElement) {
            const KelStringBase& name = e->name();
            const bool invalid = name.empty() ||
                                 (name.length() >= 3 && name.view().substr(0, 3) == XmlKelParser::wcsPlingDashDash.view()) ||
                                 name.find(u'/') != KelStringBase::npos;
            if (invalid)
                kelThrow<KelParserException>(iOwner, KEL_HERE, "XmlKelParser::checkElementName()",
                                             KelMsg::E_XmlP_InvalidElementNameFound, name);
        }
        if (KelSyntaxElement* child = e->knownFirstChild()) {
            e = child;
            continue;
        }
        while (e != iRoot && e->knownNextSibling() == nullptr) e = e->parent();
        e = e == iRoot ? nullptr : e->knownNextSibling();
    }
    bool sawXmlDecl = false, sawDocType = false;
    for (KelSyntaxElement* c = iRoot->knownFirstChild(); c != nullptr; c = c->knownNextSibling()) {
        const int code = c->type();
        if (!XmlKelParser::isValidTopLevelType(code))
            kelThrow<KelParserException>(iOwner, KEL_HERE, "KelXmlParser::validateTree",
                                         KelMsg::E_XmlP_InvalidTopLevelElement, c->name());
        bool& seen = code == XmlTypeXmlDecl ? sawXmlDecl : sawDocType;
        if (code != XmlTypeXmlDecl && code != XmlTypeDocTypeDecl) continue;
        if (seen)
            kelThrow<KelParserException>(iOwner, KEL_HERE, "KelXmlParser::validateTree", KelMsg::E_XmlP_validateTree,
                                         c->name());
        seen = true;
    }
}

bool XmlFrontierCopier::write() {
    XmlBrokerOrvaneWriter& w = *iWriter;
    // The writer's three passes over the root's children, over the known ones.
    for (KelSyntaxElement* c = iRoot->knownFirstChild(); c != nullptr; c = c->knownNextSibling()) {
        if (w.effectiveType(c) == XmlTypeXmlDecl) {
            w.writeProlog(c);
            break;
        }
    }
    for (KelSyntaxElement* c = iRoot->knownFirstChild(); c != nullptr && c != iBody; c = c->knownNextSibling())
        if (w.effectiveType(c) != XmlTypeXmlDecl) w.writeProlog(c);
    for (KelSyntaxElement* c = iBody; c != nullptr; c = c->knownNextSibling())
        if (w.effectiveType(c) == XmlTypeDocTypeDecl) w.writeProlog(c);
    if (iOpen.empty()) {
        w.writeElement(iBody);
        for (KelSyntaxElement* c = iBody->knownNextSibling(); c != nullptr; c = c->knownNextSibling()) {
            const int type = w.effectiveType(c);
            if (type != XmlTypeXmlDecl && type != XmlTypeDocTypeDecl) w.writeMisc(c);
        }
    } else {
        writeOpenElements();
    }
    if (w.paused()) return false;
    return appendRest(iCopyFrom != nullptr ? iCopyFrom : iFrontier);
}

void XmlFrontierCopier::writeOpenElements() {
    XmlBrokerOrvaneWriter& w = *iWriter;
    for (std::size_t level = 0; level < iOpen.size(); ++level) {
        KelSyntaxElement* e = iOpen[level];
        // Unchanged, with all it holds so far: its text runs on unbroken into the rest.
        const XmlKelSyntaxElement* x = w.asXmlElement(e);
        if (x != nullptr && x->getBufferStart() != nullptr) {
            iCopyFrom = x->getBufferStart();
            return;
        }
        writeOpenStartTag(e);
        const int pauseBase = w.iPauseDepth;
        KelSyntaxElement* next = level + 1 < iOpen.size() ? iOpen[level + 1] : nullptr;
        for (KelSyntaxElement* c = e->knownFirstChild(); c != nullptr && c != next; c = c->knownNextSibling())
            writeKnownChild(c, pauseBase);
    }
}

void XmlFrontierCopier::writeOpenStartTag(KelSyntaxElement* e) {
    XmlBrokerOrvaneWriter& w = *iWriter;
    const XmlKelSyntaxElement* x = w.isXmlSyntaxElement(e) ? w.asXmlElement(e) : nullptr;
    // Only what it holds changed: its start tag is the input's.
    if (x != nullptr && x->keepsOpenStartTag() && !w.paused() &&
        w.copySource(x->tagStart(), x->tagStart() + x->startTagLength(), *x))
        return;
    // Its attributes changed: the unchanged ones are the input's.
    if (x != nullptr && x->keepsOpenStartTagSource() && w.readStartTagSource(e, *x) &&
        !w.iTagSource.emptyTag()) {
        w.writeStartTagPieces(e, *x);
        if (!w.copySource(w.iTagSource.closeStart(), w.iTagSource.end(), *x)) w.outputStartElementEnd(e->name());
        return;
    }
    const KelStringBase& name = e->name();
    w.outputStartElementBegin(name);
    for (KelSyntaxElement* c = e->knownFirstChild(); c != nullptr; c = c->knownNextSibling()) {
        if (w.effectiveType(c) == XmlTypeAttribute) w.writeAttribute(c);
    }
    w.outputStartElementEnd(name);
}

void XmlFrontierCopier::writeKnownChild(KelSyntaxElement* child, int pauseBase) {
    XmlBrokerOrvaneWriter& w = *iWriter;
    switch (w.effectiveType(child)) {
    case XmlTypeContent:
    case XmlTypeCData:
    case XmlTypeAttribute:
    case XmlTypeEntityReferenceStart:
    case XmlTypeEntityReferenceEnd:
    case XmlTypeRawContent: w.writeContentChild(child, pauseBase); break;
    default: w.writeElement(child); break;
    }
}

bool XmlFrontierCopier::appendRest(const unsigned char* from) {
    XmlBrokerOrvaneWriter& w = *iWriter;
    w.settleDocTypeCloseForMarkup();
    w.flushPending();
    const long inCcsid = iOwner->storedCcsid();
    if (inCcsid == w.iOutput.codepage()) {
        const bool swap = isUtf16(inCcsid) && iOwner->treeBuilder()->readsBigEndian() != w.iOutput.bigEndian();
        if (swap && (iEnd - from) % 2 != 0) return false;
        w.iOutput.copyBytes(from, iEnd, swap);
        return true;
    }
    return convertRest(from, iEnd);
}

bool XmlFrontierCopier::convertRest(const unsigned char* from, const unsigned char* end) {
    XmlBrokerOrvaneWriter& w = *iWriter;
    const long inCcsid = iOwner->storedCcsid();
    // NL of an EBCDIC page is a line end to the tree builder, but the converter gives it U+0085,
    // which a reader of a page without NL (UTF-8, UTF-16) takes for a character: such a rest is
    // written the usual way, which gives its line ends as LF. Nothing is written yet.
    if (KelConverter::hasNewLine(static_cast<int>(inCcsid)) &&
        !KelConverter::hasNewLine(static_cast<int>(w.iOutput.codepage())) &&
        std::memchr(from, 0x15, static_cast<std::size_t>(end - from)) != nullptr)
        return false;
    UConverter* source = KelConverter::openStrict(icuNameOf(inCcsid, iOwner->treeBuilder()->readsBigEndian()).c_str());
    UConverter* target = KelConverter::openStrict(icuNameOf(w.iOutput.codepage(), w.iOutput.bigEndian()).c_str());
    KelWriteBuffer* buffer = w.iOutput.buffer();
    const long start = buffer->used();
    bool ok = source != nullptr && target != nullptr;
    // One stretch through a pivot, straight into the write buffer, which grows as it fills.
    UChar pivot[4096];
    UChar* pivotSource = pivot;
    UChar* pivotTarget = pivot;
    const char* in = reinterpret_cast<const char*>(from);
    const char* inLimit = reinterpret_cast<const char*>(end);
    // Room for the whole rest at once (no source character is shorter than a byte, and none
    // becomes more than the target's longest character), so the buffer grows once at most.
    if (ok) {
        const long bound = static_cast<long>(end - from) * ucnv_getMaxCharSize(target) + 16;
        if (buffer->capacity() < buffer->used() + bound + 1) buffer->enlarge(buffer->used() + bound + 1);
    }
    bool first = true;
    while (ok) {
        char* out = reinterpret_cast<char*>(buffer->data() + buffer->used());
        char* outLimit = reinterpret_cast<char*>(buffer->data() + buffer->capacity() - 1);
        UErrorCode status = U_ZERO_ERROR;
        ucnv_convertEx(target, source, &out, outLimit, &in, inLimit, pivot, &pivotSource, &pivotTarget, pivot + 4096,
                       first, true, &status);
        first = false;
        buffer->setUsed(reinterpret_cast<unsigned char*>(out) - buffer->data());
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            buffer->enlarge(buffer->capacity() + buffer->capacity() / 2 + (1L << 20));
            continue;
        }
        ok = U_SUCCESS(status);
        break;
    }
    if (source != nullptr) ucnv_close(source);
    if (target != nullptr) ucnv_close(target);
    // Pages that rotate controls gave DEL a byte their other readers take for another character:
    // such a rest is written the usual way, which refuses it where it cannot be a reference.
    const KelConverter* outPage = KelConverter::setCodepage(w.iOutput.codepage(), 0);
    if (ok && outPage->rotatesControls()) {
        const unsigned char* bytes = buffer->data();
        for (long i = start; ok && i < buffer->used(); ++i) ok = bytes[i] != 0x1A && bytes[i] != 0x1C && bytes[i] != 0x7F;
    }
    // Likewise the C1 controls, whose bytes the readers of a page disagree on (XmlPageCoverage);
    // an EBCDIC page's NL is judged below.
    if (const KelSingleByteTable* table = ok ? KelSingleByteTable::forCcsid(w.iOutput.codepage()) : nullptr) {
        const unsigned char* bytes = buffer->data();
        for (long i = start; ok && i < buffer->used(); ++i) {
            const char16_t unit = static_cast<char16_t>(table->unitFor(bytes[i]));
            ok = !XmlPageCoverage::isC1Control(unit) || (unit == 0x85 && outPage->hasNewLine());
        }
    }
    // Likewise NL in an EBCDIC page, which is read as a line end: from a page without NL it was
    // U+0085, a character (in one with NL, it was a line end and stays one).
    if (ok && outPage->hasNewLine() && !KelConverter::hasNewLine(static_cast<int>(inCcsid))) {
        const unsigned char* bytes = buffer->data();
        for (long i = start; ok && i < buffer->used(); ++i) ok = bytes[i] != 0x15;
    }
    // A character the output page lacks: nothing of the rest stays, and the write goes the usual way.
    if (!ok) buffer->setUsed(start);
    w.iOutput.restoreEndOfBuffer();
    return ok;
}

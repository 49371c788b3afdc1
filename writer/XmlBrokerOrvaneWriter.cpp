// XmlBrokerOrvaneWriter: the write driver, the reuse test and the copying of original stretches,
// the element writer and the output wrappers. The prolog is XmlPrologWriter's; the bytes go
// through XmlBufferedOutput.
#include "writer/XmlBrokerOrvaneWriter.hpp"

#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "host/KelLog.hpp"
#include "host/KelParser.hpp"
#include "host/KelSingleByteTable.hpp"
#include "host/KelSubtreeOrder.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelThrow.hpp"
#include "host/KelValue.hpp"
#include "host/KelWriteBuffer.hpp"
#include "common/XmlElementType.hpp"
#include "parser/XmlKelParser.hpp"
#include "parser/XmlKelSyntaxElement.hpp"
#include "writer/XmlFrontierCopier.hpp"
#include "writer/XmlMarkupRules.hpp"
#include "writer/XmlPageCoverage.hpp"
#include "writer/XmlTagSource.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>

namespace {

bool isUtf16(long ccsid) noexcept { return KelConverter::isUtf16Ccsid(static_cast<int>(ccsid)); }

// The shift codes of the stateful double-byte EBCDIC pages, and '<' of their single-byte state.
constexpr unsigned char kShiftOut = 0x0E;
constexpr unsigned char kShiftIn = 0x0F;
constexpr unsigned char kEbcdicLessThan = 0x4C;

bool shiftsByCodes(int ccsid) noexcept {
    if (isUtf16(ccsid) || ccsid == 1208) return false;
    try {
        const KelConverter* converter = KelConverter::setCodepage(ccsid, 0);
        return converter->shiftsByCodes() && converter->hasNewLine();   // EBCDIC: '<' is 0x4C
    } catch (const KelException&) {
        return false;
    }
}

// The last '<' of the single-byte state in [from, end), which starts in that state. A byte of a
// double-byte character may look like '<', so the shifts are followed from the start.
const unsigned char* lastOpenInShiftedBytes(const unsigned char* from, const unsigned char* end) noexcept {
    const unsigned char* open = nullptr;
    bool doubleByte = false;
    for (const unsigned char* b = from; b < end; ++b) {
        if (*b == kShiftOut) doubleByte = true;
        else if (*b == kShiftIn) doubleByte = false;
        else if (doubleByte) ++b;   // the second byte of the pair
        else if (*b == kEbcdicLessThan) open = b;
    }
    return open;
}

bool containsUnit(const KelStringBase& text, char16_t unit) noexcept {
    return text.find(unit) != KelStringBase::npos;
}

} // namespace

// ---- lifecycle --------------------------------------------------------------------------------

XmlBrokerOrvaneWriter::XmlBrokerOrvaneWriter(XmlKelParser* owner, bool spanReuse)
    : XmlOrvaneWriter(), KelOwnedLogSource(nullptr), iOutputCodepage(0), iOutputEncoding(0), iOwner(owner),
      iSpanReuse(spanReuse), iPauseDepth(0) {
    KelTraceScope trace(this, "XmlBrokerOrvaneWriter::XmlBrokerOrvaneWriter");
    // Every write sets the byte order for its own code page; until then it is big-endian.
    setEndian(1);
}

XmlBrokerOrvaneWriter::XmlBrokerOrvaneWriter(const XmlBrokerOrvaneWriter& other) = default;
XmlBrokerOrvaneWriter& XmlBrokerOrvaneWriter::operator=(const XmlBrokerOrvaneWriter& other) = default;

XmlBrokerOrvaneWriter::~XmlBrokerOrvaneWriter() {
    KelTraceScope trace(this, "XmlBrokerOrvaneWriter::~XmlBrokerOrvaneWriter");
}

// ---- the write driver -------------------------------------------------------------------------

int XmlBrokerOrvaneWriter::writeBuffer(KelWriteBuffer* buffer, KelSyntaxElement* root, long ccsid, long encoding,
                                       XmlFrontierCopier* frontier) {
    KelTraceScope trace(this, "XmlBrokerOrvaneWriter::writeBuffer", static_cast<const void*>(buffer),
                        static_cast<const void*>(root), ccsid, encoding);
    const long usedBefore = beginWrite(buffer, root, root, ccsid, encoding, "XmlBrokerOrvaneWriter::writeBuffer");
    EndOfWrite endOfWrite{this};

    if (frontier != nullptr) {
        const long afterMark = buffer->used();
        if (frontier->write()) {
            return endWrite(buffer, usedBefore);
        }
        // The rest cannot be copied as it stands: the whole tree is written, from the start.
        iOutput.discardFrom(afterMark);
        setPauseDepth(0);
        iProlog.reset();
        iDocTypeClose.reset();
        iStack.clear();
    }

    // Pass 1: the first XML declaration comes first, wherever it stands.
    for (KelSyntaxElement* child = root->firstChild(); child; child = child->nextSibling()) {
        if (effectiveType(child) == XmlTypeXmlDecl) {
            writeProlog(child);
            break;
        }
    }
    // Pass 2: the prolog up to the body element.
    KelSyntaxElement* body = nullptr;
    for (KelSyntaxElement* child = root->firstChild(); child; child = child->nextSibling()) {
        const int type = effectiveType(child);
        if (type == XmlTypeElement || type == XmlTypeRoot) {
            body = child;
            break;
        }
        if (type != XmlTypeXmlDecl) writeProlog(child);
    }
    if (body != nullptr) {
        // Pass 3: a document type declaration after the body still belongs before it.
        for (KelSyntaxElement* child = body; child; child = child->nextSibling()) {
            if (effectiveType(child) == XmlTypeDocTypeDecl) writeProlog(child);
        }
        writeElement(body);
        for (KelSyntaxElement* child = body->nextSibling(); child; child = child->nextSibling()) {
            const int type = effectiveType(child);
            if (type != XmlTypeXmlDecl && type != XmlTypeDocTypeDecl) writeMisc(child);
        }
    }
    return endWrite(buffer, usedBefore);
}

XmlBrokerOrvaneWriter::EndOfWrite::~EndOfWrite() {
    writer->iBytesCopied = writer->iOutput.bytesCopied();
    writer->iOutput.end();
    writer->iStack.clear();
    writer->iSubject = nullptr;
    writer->iDocument = nullptr;
    writer->iCarriesReference.clear();
    writer->iPrefixesChecked.clear();
}

long XmlBrokerOrvaneWriter::beginWrite(KelWriteBuffer* buffer, KelSyntaxElement* top, KelSyntaxElement* document,
                                       long ccsid, long encoding, const char* function) {
    if (buffer == nullptr || top == nullptr) {
        kelThrow<KelParserException>(this, KEL_HERE, function, KelMsg::E_XmlP_InvParams,
                                     static_cast<const void*>(buffer), static_cast<const void*>(top));
    }
    // A page no converter exists for is refused before anything is written. The answers the
    // output remembers per page start out as known for no page, marked by a number that is no
    // page (-1): a write asked for in that "page" took them for known, and read past them.
    KelConverter::setCodepage(static_cast<int>(ccsid));
    iOutputCodepage = static_cast<int>(ccsid);
    iOutputEncoding = static_cast<int>(encoding);
    const long usedBefore = buffer->used();
    iBytesCopied = 0;
    iBytesWritten = 0;
    // Only a whole document starts with a byte-order mark.
    const bool whole = top == document;
    if (isUtf16(ccsid)) {
        const long order = encoding & 0x0F;
        if (order == 1) {
            static const unsigned char mark[2] = {0xFE, 0xFF};
            if (whole) buffer->append(mark, 2);
            setEndian(1);
        } else if (order == 2) {
            static const unsigned char mark[2] = {0xFF, 0xFE};
            if (whole) buffer->append(mark, 2);
            setEndian(-1);
        } else {
            setEndian(-1);
        }
    } else {
        // Pages without a byte order still hand the conversion a defined value.
        setEndian(1);
        // A UTF-8 message that came with a byte-order mark keeps it: no element's text holds
        // the mark, so without this a pass-through would lose it.
        if (whole && ccsid == 1208 && iOwner != nullptr && top == iOwner->rootElement() &&
            iOwner->storedCcsid() == 1208) {
            const KelBuffer& input = iOwner->storedBitStream();
            if (input.length() >= 3 && input.data()[0] == 0xEF && input.data()[1] == 0xBB && input.data()[2] == 0xBF)
                buffer->append(input.data(), 3);
        }
    }

    // Each write starts afresh: nothing left over from a write that failed part way, and no
    // pause that an earlier tree left open.
    iOutput.begin(buffer, static_cast<int>(ccsid), getEndian(), endsLinesWithNewLine(document, ccsid));
    setPauseDepth(0);
    iProlog.reset();
    iDocTypeClose.reset();
    iStack.clear();
    iEntities = EntityScope();
    iDocument = document;
    iCarriesReference.clear();
    iPrefixesChecked.clear();
    return usedBefore;
}

int XmlBrokerOrvaneWriter::endWrite(KelWriteBuffer* buffer, long usedBefore) {
    // A document type declaration that is the last thing written still gets its ">".
    settleDocTypeCloseForMarkup();
    flushPending();
    iBytesWritten = buffer->used() - usedBefore;
    return static_cast<int>(buffer->used());
}

int XmlBrokerOrvaneWriter::writeFragment(KelWriteBuffer* buffer, KelSyntaxElement* element, long ccsid,
                                         long encoding) {
    KelTraceScope trace(this, "XmlBrokerOrvaneWriter::writeFragment", static_cast<const void*>(buffer),
                        static_cast<const void*>(element), ccsid, encoding);
    // The document it stands in declares the entities its references name, and its line ends.
    KelSyntaxElement* document = element;
    while (document != nullptr && document->parent() != nullptr) document = document->parent();
    const long usedBefore =
        beginWrite(buffer, element, document, ccsid, encoding, "XmlBrokerOrvaneWriter::writeFragment");
    EndOfWrite endOfWrite{this};
    writeElement(element);
    return endWrite(buffer, usedBefore);
}

bool XmlBrokerOrvaneWriter::writesOnItsOwn(int type) noexcept {
    // What content is written as opens and closes itself; the root is the whole message.
    return type != XmlTypeRoot && isWrittenInContent(type);
}

bool XmlBrokerOrvaneWriter::endsLinesWithNewLine(KelSyntaxElement* root, long ccsid) {
    // The document's own line ends, when it came in an EBCDIC page: NL when its first line end is.
    if (iOwner == nullptr || root != iOwner->rootElement() || !KelConverter::hasNewLine(static_cast<int>(ccsid)) ||
        !KelConverter::hasNewLine(iOwner->storedCcsid()))
        return false;
    const KelBuffer& input = iOwner->storedBitStream();
    const unsigned char* bytes = input.data();
    for (long i = 0; bytes != nullptr && i < input.length(); ++i) {
        if (bytes[i] == 0x15) return true;
        if (bytes[i] == 0x25) return false;
    }
    return false;
}

// ---- elements and content ---------------------------------------------------------------------

// Documents nest as deep as their author likes, so the walk keeps its open elements on iStack
// rather than on the call stack.
void XmlBrokerOrvaneWriter::writeElement(KelSyntaxElement* element) {
    const std::size_t base = iStack.size();
    if (!openElement(element)) return;
    while (iStack.size() > base) {
        Frame& frame = iStack.back();
        KelSyntaxElement* child = frame.next;
        if (child == nullptr) {
            const Frame done = frame;
            iStack.pop_back();
            closeElement(done);
            continue;
        }
        frame.next = child->nextSibling();
        const int pauseBase = frame.pauseBase;
        writeContentChild(child, pauseBase);   // may push onto iStack: `frame` is not used after this
    }
}

// Writes an element's start tag and attributes, or all of it when it is copied, empty or not an
// element at all; true when it was left open on iStack for its content.
bool XmlBrokerOrvaneWriter::openElement(KelSyntaxElement* element) {
    const int type = effectiveType(element);
    const bool debug = KelLog::isDebugActive();
    if (debug) {
        KelLog::DebugEntryItem item(this, "XmlBrokerOrvaneWriter::writeElement");
        item << type;
    }
    if (type != XmlTypeElement && type != XmlTypeRoot) {
        writeMisc(element);
        if (debug) KelLog::writeDebugExit(this, "XmlBrokerOrvaneWriter::writeElement");
        return false;
    }
    ensureComplete(element);
    checkMovedPrefixes(element);
    checkRenamedPrefix(element);
    // Bytes from another document may name an entity this one does not declare.
    const bool ownBytes = !carriesUndeclaredReference(element);
    if (ownBytes && copyOriginal(element)) {
        if (debug) KelLog::writeDebugExit(this, "XmlBrokerOrvaneWriter::writeElement");
        return false;
    }
    const KelStringBase& name = element->name();
    // Only its content changed: its start tag stands in the input as it is.
    if (XmlKelSyntaxElement* tags = ownBytes ? keptTags(element) : nullptr) {
        if (outputPieceOfOriginalBuffer(tags->tagStart(), tags->startTagEnd(), tags->getBufferCodepage(),
                                        tags->getBufferBigEndian() != 0)) {
            iStack.push_back(Frame{element, element->firstChild(), iPauseDepth, true});
            return true;
        }
    }
    // Its attributes changed but not its name: what did not change is copied from its start tag.
    if (XmlKelSyntaxElement* tags = ownBytes ? startTagSource(element) : nullptr) {
        const TagOutcome outcome = writeStartTagFromSource(element, *tags);
        if (outcome != TagOutcome::NotWritten) {
            if (outcome == TagOutcome::Closed && debug) KelLog::writeDebugExit(this, "XmlBrokerOrvaneWriter::writeElement");
            return outcome == TagOutcome::Open;
        }
    }
    iSubject = element;
    outputStartElementBegin(name);
    bool hasContent = false;
    for (KelSyntaxElement* child = element->firstChild(); child; child = child->nextSibling()) {
        if (effectiveType(child) != XmlTypeAttribute) {
            hasContent = true;
            continue;
        }
        writeAttribute(child);
    }
    iSubject = nullptr;
    if (!hasContent) {
        outputEndEmptyElement(name);
        if (debug) KelLog::writeDebugExit(this, "XmlBrokerOrvaneWriter::writeElement");
        return false;
    }
    outputStartElementEnd(name);
    iStack.push_back(Frame{element, element->firstChild(), iPauseDepth, false});
    return true;
}

void XmlBrokerOrvaneWriter::closeElement(const Frame& frame) {
    // Entity references pair up within one element: one left open inside it ends with it, so a
    // missing end mark cannot swallow the rest of the document.
    setPauseDepth(frame.pauseBase);
    if (frame.tagsCopied && copyEndTag(frame.element)) {
        if (KelLog::isDebugActive()) KelLog::writeDebugExit(this, "XmlBrokerOrvaneWriter::writeElement");
        return;
    }
    outputEndElement(frame.element->name());
    if (KelLog::isDebugActive()) KelLog::writeDebugExit(this, "XmlBrokerOrvaneWriter::writeElement");
}

void XmlBrokerOrvaneWriter::writeContentChild(KelSyntaxElement* child, int pauseBase) {
    const int type = effectiveType(child);
    if (type == XmlTypeContent || type == XmlTypeCData || type == XmlTypeAttribute || type == XmlTypeRawContent)
        refuseChildrenOfLeaf(child);
    switch (type) {
    case XmlTypeContent: {
        // Unchanged text keeps its bytes: its references and line ends as the input had them.
        if (copyOriginal(child)) break;
        const KelValue& value = child->value();
        if (value.isNull()) break;
        if (value.isCharacter()) {
            outputCharacters(value.characterValue(), true);
        } else {
            outputCharacters(value.valueAsCharacter(), true);
        }
        break;
    }
    case XmlTypeCData: {
        if (copyOriginal(child)) break;
        const KelValue& value = child->value();
        if (!value.isNull()) outputCDataSection(value.valueAsCharacter());
        break;
    }
    case XmlTypeAttribute:
        break;   // written in the start tag
    case XmlTypeEntityReferenceStart: {
        // The reference is written; its expansion, which follows as siblings, is not.
        const KelValue& value = child->value();
        if (!value.isNull()) {
            const KelStringBase entity = value.valueAsCharacter();
            if (!paused() && !declaresEntity(entity)) {
                // Carried in from a message that declared it (or its declaration removed): the
                // reference would make this message no XML. What it stood for is written in its
                // place, as text and elements; its end mark then has no pause to end.
                KelSyntaxElement* next = child->nextSibling();
                if (next == nullptr || effectiveType(next) == XmlTypeEntityReferenceEnd)
                    kelThrow<KelParserException>(this, KEL_HERE, "XmlBrokerOrvaneWriter::outputEntityReference",
                                                 KelMsg::E_XmlP_validateTree, entity);
                break;
            }
            outputEntityReference(entity);
        }
        pauseOutput();
        break;
    }
    case XmlTypeEntityReferenceEnd:
        resumeOutput(pauseBase);
        break;
    case XmlTypeRawContent: {
        const KelValue& value = child->value();
        if (!value.isNull()) outputCharacters(value.valueAsCharacter(), false);
        break;
    }
    default:
        // A child of this parser's family that no markup stands for in content (a new element
        // whose type was never set, a declaration) would be left out of the message without a
        // word: refused instead. Another domain's kinds are its own and keep being passed over.
        // A part grafted in below an element keeps its own prolog, which has no place there.
        if (!paused() && !isWrittenInContent(type) && isXmlSyntaxElement(child) &&
            !(isPrologOfGraftedPart(type) && child->parent() != nullptr &&
              effectiveType(child->parent()) == XmlTypeRoot))
            refuseUnwritable(child);
        openElement(child);
        break;
    }
}

void XmlBrokerOrvaneWriter::refuseChildrenOfLeaf(KelSyntaxElement* leaf) {
    // Text and attributes are written from their values: an element put below one (an attribute
    // or the indentation taken for the element they stand in) would be left out unseen.
    if (paused() || !isXmlSyntaxElement(leaf)) return;
    if (KelSyntaxElement* below = leaf->knownFirstChild())
        kelThrow<KelParserException>(this, KEL_HERE, "XmlBrokerOrvaneWriter::writeElement", KelMsg::E_XmlP_validateTree,
                                     below->name());
}

bool XmlBrokerOrvaneWriter::isPrologOfGraftedPart(int type) noexcept {
    return type == XmlTypeXmlDecl || type == XmlTypeDocTypeDecl;
}

bool XmlBrokerOrvaneWriter::isWrittenInContent(int type) noexcept {
    switch (type) {
    case XmlTypeElement:
    case XmlTypeRoot:
    case XmlTypeComment:
    case XmlTypeDocTypeComment:
    case XmlTypeProcessingInstruction:
    case XmlTypeDocTypePI:
    case XmlTypeWhiteSpace:
    case XmlTypeDocTypeWhiteSpace: return true;
    default: return false;
    }
}

void XmlBrokerOrvaneWriter::refuseUnwritable(KelSyntaxElement* element) {
    kelThrow<KelParserException>(this, KEL_HERE, "XmlBrokerOrvaneWriter::writeElement", KelMsg::E_XmlP_validateTree,
                                 element->name());
}

void XmlBrokerOrvaneWriter::writeMisc(KelSyntaxElement* element) {
    const int type = effectiveType(element);
    KelDebugTraceScope trace(this, "XmlBrokerOrvaneWriter::writeMisc", type);
    switch (type) {
    case XmlTypeComment:
    case XmlTypeDocTypeComment:
    case XmlTypeProcessingInstruction:
    case XmlTypeDocTypePI:
    case XmlTypeWhiteSpace:
    case XmlTypeDocTypeWhiteSpace: {
        if (copyOriginal(element)) return;
        const KelValue& value = element->value();
        if (value.isNull()) return;
        iSubject = element;
        if (type == XmlTypeComment || type == XmlTypeDocTypeComment) {
            outputXmlComment(value.valueAsCharacter());
        } else if (type == XmlTypeProcessingInstruction || type == XmlTypeDocTypePI) {
            outputProcessingInstruction(element->name(), value.valueAsCharacter());
        } else {
            // Outside an element's content (the prolog, after the document element, between
            // declarations) nothing but white space may stand: other text makes the message no XML.
            if (iStack.empty() && !paused() && !XmlMarkupRules::isWhiteSpace(value.valueAsCharacter()))
                kelThrow<KelParserException>(this, KEL_HERE, "XmlBrokerOrvaneWriter::writeMisc",
                                             KelMsg::E_XmlP_validateTree, value.valueAsCharacter());
            outputCharacters(value.valueAsCharacter(), true);
        }
        iSubject = nullptr;
        return;
    }
    default: {
        // Not something that can stand here: skipped, and reported to whoever is debugging.
        const int code = element->type();
        KelStringBase name;
        if ((code & kXmlNameBit) != 0) name = element->name();
        KelStringBase text;
        if ((code & kXmlValueBit) != 0) {
            const KelValue& value = element->value();
            if (!value.isNull()) text = value.valueAsCharacter();
        }
        if (KelLog::isDebugActive()) {
            KelLog::DebugItem item(this, "XmlBrokerOrvaneWriter::writeMisc", "Badly formed XML, check syntax element tree");
            item << type << name << text;
            item.writeToFile();
        }
        return;
    }
    }
}

// ---- references carried in from another document ---------------------------------------------

const XmlBrokerOrvaneWriter::EntityScope& XmlBrokerOrvaneWriter::entityScope() {
    if (iEntities.known) return iEntities;
    iEntities.known = true;
    for (const char16_t* predefined : {u"lt", u"gt", u"amp", u"apos", u"quot"})
        iEntities.names.insert(KelStringBase(predefined));
    if (iDocument == nullptr) return iEntities;
    // The document type stands before the document element, which is being written: all known.
    for (KelSyntaxElement* top = iDocument->knownFirstChild(); top; top = top->knownNextSibling()) {
        if (effectiveType(top) != XmlTypeDocTypeDecl) continue;
        for (KelSyntaxElement* part = top->knownFirstChild(); part; part = part->knownNextSibling()) {
            const int type = effectiveType(part);
            if (type == XmlTypePublicId || type == XmlTypeSystemId || type == XmlTypeExternalSubset) {
                iEntities.open = true;
            } else if (type == XmlTypeInternalSubset) {
                for (KelSyntaxElement* d = part->knownFirstChild(); d; d = d->knownNextSibling()) {
                    const int kind = effectiveType(d);
                    if (kind == XmlTypeEntityDecl || kind == XmlTypeExternalEntityDecl) iEntities.names.insert(d->name());
                    else if (kind == XmlTypeEntityReferenceStart) iEntities.open = true;
                }
            }
        }
    }
    return iEntities;
}

bool XmlBrokerOrvaneWriter::declaresEntity(const KelStringBase& name) {
    const EntityScope& scope = entityScope();
    return scope.open || scope.names.count(name) != 0;
}

bool XmlBrokerOrvaneWriter::carriesUndeclaredReference(KelSyntaxElement* element) {
    // Only bytes read from another parser's document: a document's own references are declared
    // by its own document type.
    if (!iSpanReuse || paused() || element->parser() == iOwner || !isXmlSyntaxElement(element)) return false;
    const XmlKelSyntaxElement* xml = asXmlElement(element);
    if (xml == nullptr || !(xml->hasSpan() || xml->keepsTags() || xml->keepsStartTagSource())) return false;
    if (iCarriesReference.count(element) != 0) return true;
    // Below an element looked at before, whatever carries one was marked then: each element is
    // looked at once, however deep the part.
    if (element->parent() != nullptr && iCarriesReference.count(element->parent()) != 0) return false;
    if (entityScope().open) return false;
    for (KelSyntaxElement* e = element->firstChild(); e != nullptr;) {
        const int type = effectiveType(e);
        bool carries = false;
        if (type == XmlTypeEntityReferenceStart) {
            const KelValue& value = e->value();
            carries = !value.isNull() && !declaresEntity(value.valueAsCharacter());
        } else if (type == XmlTypeAttribute && isXmlSyntaxElement(e)) {
            const XmlKelSyntaxElement* attribute = asXmlElement(e);
            carries = attribute != nullptr && attribute->hasSpan();   // its source text holds a reference
        }
        if (carries)
            for (KelSyntaxElement* up = e->parent(); up != nullptr; up = up->parent()) {
                if (!iCarriesReference.insert(up).second || up == element) break;
            }
        e = kelNextInSubtree(e, element);
    }
    return iCarriesReference.count(element) != 0;
}

// ---- prefixes moved away from their declarations ----------------------------------------------

namespace {
const KelStringBase& xmlnsWord() {
    static const KelStringBase word(u"xmlns");
    return word;
}
// The prefix of a qualified name; empty when it has none (or is no qualified name).
KelStringBase prefixOf(const KelStringBase& name) {
    const std::size_t colon = name.find(u':');
    return colon == KelStringBase::npos || colon == 0 ? KelStringBase() : name.substr(0, colon);
}
// The prefix an attribute declares (xmlns:p), or empty.
KelStringBase declaredPrefix(const KelStringBase& attributeName) {
    return prefixOf(attributeName) == xmlnsWord() ? attributeName.substr(6) : KelStringBase();
}
// Prefixes bound everywhere, or whose attributes declare rather than use one.
bool needsDeclaration(const KelStringBase& prefix) {
    return !prefix.empty() && prefix != xmlnsWord() && !(prefix.length() == 3 && prefix.startsWith(KelStringBase(u"xml")));
}
} // namespace

bool XmlBrokerOrvaneWriter::declaredAbove(KelSyntaxElement* element, const KelStringBase& prefix) {
    // An element's attributes are its first children, as the path engine reads declarations.
    for (KelSyntaxElement* e = element; e != nullptr; e = e->parent())
        for (KelSyntaxElement* a = e->knownFirstChild(); a != nullptr && effectiveType(a) == XmlTypeAttribute;
             a = a->knownNextSibling())
            if (declaredPrefix(a->name()) == prefix && !a->value().isNull()) return true;
    return false;
}

void XmlBrokerOrvaneWriter::refuseUndeclaredPrefix(const KelStringBase& prefix) {
    kelThrow<KelParserException>(this, KEL_HERE, "XmlBrokerOrvaneWriter::writeElement",
                                 KelMsg::E_XmlP_InvalidElementNameFound, prefix);
}

void XmlBrokerOrvaneWriter::checkMovedAttributePrefix(KelSyntaxElement* attribute) {
    if (paused() || !isXmlSyntaxElement(attribute)) return;
    const XmlKelSyntaxElement* xml = asXmlElement(attribute);
    if (xml == nullptr || (!xml->wasMoved() && !xml->wasRenamed())) return;
    const KelStringBase prefix = prefixOf(attribute->name());
    if (needsDeclaration(prefix) && !declaredAbove(attribute->parent(), prefix)) refuseUndeclaredPrefix(prefix);
}

void XmlBrokerOrvaneWriter::checkRenamedPrefix(KelSyntaxElement* element) {
    // Only the element's own name changed: its attributes and what stands above it must declare
    // the prefix (its subtree is checked when it moves).
    if (paused() || !isXmlSyntaxElement(element)) return;
    const XmlKelSyntaxElement* xml = asXmlElement(element);
    if (xml == nullptr || !xml->wasRenamed()) return;
    const KelStringBase prefix = prefixOf(element->name());
    if (needsDeclaration(prefix) && !declaredAbove(element, prefix)) refuseUndeclaredPrefix(prefix);
}

// Counted, with what to undo on the way back up: a prefix declared twice along the path stays
// declared when the inner declaration is left.
struct XmlBrokerOrvaneWriter::MovedScope {
    std::unordered_map<KelStringBase, int, KelStringBaseHash> inside;
    std::unordered_map<KelStringBase, bool, KelStringBaseHash> outside;   // looked up once each
    std::vector<KelStringBase> undo;
    void leaveTo(std::size_t mark) {
        while (undo.size() > mark) {
            --inside[undo.back()];
            undo.pop_back();
        }
    }
};

void XmlBrokerOrvaneWriter::checkMovedPrefix(const KelStringBase& prefix, KelSyntaxElement* top, MovedScope& scope) {
    if (!needsDeclaration(prefix)) return;
    auto in = scope.inside.find(prefix);
    if (in != scope.inside.end() && in->second > 0) return;
    auto out = scope.outside.find(prefix);
    if (out == scope.outside.end()) out = scope.outside.emplace(prefix, declaredAbove(top->parent(), prefix)).first;
    if (!out->second) refuseUndeclaredPrefix(prefix);
}

KelSyntaxElement* XmlBrokerOrvaneWriter::checkMovedElement(KelSyntaxElement* e, KelSyntaxElement* top,
                                                           MovedScope& scope) {
    for (KelSyntaxElement* a = e->firstChild(); a != nullptr; a = a->nextSibling()) {
        if (effectiveType(a) != XmlTypeAttribute) continue;
        KelStringBase declared = declaredPrefix(a->name());
        if (declared.empty() || a->value().isNull()) continue;
        ++scope.inside[declared];
        scope.undo.push_back(std::move(declared));
    }
    checkMovedPrefix(prefixOf(e->name()), top, scope);
    KelSyntaxElement* firstElement = nullptr;
    for (KelSyntaxElement* c = e->firstChild(); c != nullptr; c = c->nextSibling()) {
        const int type = effectiveType(c);
        if (type == XmlTypeAttribute) checkMovedPrefix(prefixOf(c->name()), top, scope);
        else if (type == XmlTypeElement && firstElement == nullptr) firstElement = c;
    }
    if (e != top) iPrefixesChecked.insert(e);
    return firstElement;
}

void XmlBrokerOrvaneWriter::checkMovedPrefixes(KelSyntaxElement* element) {
    if (paused() || !isXmlSyntaxElement(element)) return;
    const XmlKelSyntaxElement* xml = asXmlElement(element);
    if (xml == nullptr || !xml->wasMoved() || !iPrefixesChecked.insert(element).second) return;
    // One walk of the moved subtree in document order, each element once; what the subtree does
    // not declare along the path must be declared above where it stands.
    MovedScope scope;
    struct Step {
        KelSyntaxElement* element;
        std::size_t undoMark;
    };
    std::vector<Step> path;
    KelSyntaxElement* e = element;
    while (e != nullptr) {
        const std::size_t mark = scope.undo.size();
        KelSyntaxElement* next = checkMovedElement(e, element, scope);
        path.push_back(Step{e, mark});
        // Down to the first child element, else on to the next sibling element, climbing back
        // up (and letting go of what each left element declared) until one is found.
        while (next == nullptr && !path.empty()) {
            const Step done = path.back();
            path.pop_back();
            scope.leaveTo(done.undoMark);
            if (path.empty()) break;
            for (KelSyntaxElement* s = done.element->nextSibling(); s != nullptr && next == nullptr; s = s->nextSibling())
                if (effectiveType(s) == XmlTypeElement) next = s;
        }
        e = next;
    }
}

// ---- small helpers ----------------------------------------------------------------------------

bool XmlBrokerOrvaneWriter::isXmlSyntaxElement(KelSyntaxElement* element) {
    return XmlKelSyntaxElement::isXmlDomainElement(element, iOwner);
}

XmlKelSyntaxElement* XmlBrokerOrvaneWriter::asXmlElement(KelSyntaxElement* element) {
    // The owner builds every element of its tree as an XmlKelSyntaxElement; an element of
    // another parser of the group is checked.
    if (element->parser() == iOwner) return static_cast<XmlKelSyntaxElement*>(element);
    return dynamic_cast<XmlKelSyntaxElement*>(element);
}

int XmlBrokerOrvaneWriter::effectiveType(KelSyntaxElement* element) {
    const int code = element->type();
    return isXmlSyntaxElement(element) ? code : (code & kXmlClassMask);
}

KelSyntaxElement* XmlBrokerOrvaneWriter::findChildElement(KelSyntaxElement* parent, int type) {
    for (KelSyntaxElement* child = parent->firstChild(); child; child = child->nextSibling()) {
        if (effectiveType(child) == type) return child;
    }
    return nullptr;
}

void XmlBrokerOrvaneWriter::ensureComplete(KelSyntaxElement* element) {
    if (!element->isCompleteRight() && element->parser() != nullptr) element->parser()->parseLastChild(element);
}

bool XmlBrokerOrvaneWriter::copyOriginal(KelSyntaxElement* element) {
    if (!iSpanReuse || !isXmlSyntaxElement(element)) return false;
    XmlKelSyntaxElement* xml = asXmlElement(element);
    if (xml == nullptr || xml->getBufferStart() == nullptr || xml->getBufferEnd() == nullptr) return false;
    return outputPieceOfOriginalBuffer(xml->getBufferStart(), xml->getBufferEnd(), xml->getBufferCodepage(),
                                       xml->getBufferBigEndian() != 0);
}

XmlKelSyntaxElement* XmlBrokerOrvaneWriter::keptTags(KelSyntaxElement* element) {
    if (!iSpanReuse || !isXmlSyntaxElement(element)) return nullptr;
    XmlKelSyntaxElement* xml = asXmlElement(element);
    return xml != nullptr && xml->keepsTags() ? xml : nullptr;
}

// Where the walk for an element's end tag may start in a stateful page: after its last child
// element that lies in these bytes (markup ends in the single-byte state), else at `from`, so
// that each ancestor of an edit reads only its own tail. The end tag keeps its bytes, with the
// shifts that stand after it (an empty pair at the document's end too).
const unsigned char* XmlBrokerOrvaneWriter::lastChildEnd(KelSyntaxElement* element, const unsigned char* from,
                                                         const unsigned char* end) {
    for (KelSyntaxElement* child = element->lastChild(); child != nullptr; child = child->previousSibling()) {
        if (effectiveType(child) != XmlTypeElement) continue;
        const XmlKelSyntaxElement* inner = asXmlElement(child);
        const unsigned char* after = inner != nullptr ? inner->tagsEnd() : nullptr;
        return after != nullptr && after > from && after <= end ? after : from;
    }
    return from;
}

bool XmlBrokerOrvaneWriter::copyEndTag(KelSyntaxElement* element) {
    XmlKelSyntaxElement* xml = keptTags(element);
    if (xml == nullptr) xml = startTagSource(element);
    if (xml == nullptr) return false;
    // The end tag is the last "<" of the span on. Found where "<" is one code unit that nothing
    // else contains (UTF-8, UTF-16, single-byte pages); in other pages the end tag is written anew.
    const unsigned char* from = xml->startTagEnd();
    const unsigned char* end = xml->tagsEnd();
    const int ccsid = xml->getBufferCodepage();
    const unsigned char* open = nullptr;
    if (ccsid == 1208) {
        for (const unsigned char* b = end; b > from && open == nullptr;)
            if (*--b == '<') open = b;
    } else if (isUtf16(ccsid) && (end - from) % 2 == 0) {
        const bool big = xml->getBufferBigEndian() != 0;
        for (const unsigned char* b = end; b - 2 >= from && open == nullptr; b -= 2) {
            const unsigned unit = big ? (b[-2] << 8 | b[-1]) : (b[-1] << 8 | b[-2]);
            if (unit == u'<') open = b - 2;
        }
    } else if (const KelSingleByteTable* table = KelSingleByteTable::forCcsid(ccsid)) {
        const int angle = table->byteFor(u'<');
        for (const unsigned char* b = end; angle >= 0 && b > from && open == nullptr;)
            if (*--b == angle) open = b;
    } else if (shiftsByCodes(ccsid)) {
        open = lastOpenInShiftedBytes(lastChildEnd(element, from, end), end);
    }
    if (open == nullptr) return false;
    return outputPieceOfOriginalBuffer(open, end, ccsid, xml->getBufferBigEndian() != 0);
}

void XmlBrokerOrvaneWriter::setOutputCodepage(long ccsid) { iOutputCodepage = static_cast<int>(ccsid); }
void XmlBrokerOrvaneWriter::setOutputEncoding(long encoding) { iOutputEncoding = static_cast<int>(encoding); }
void XmlBrokerOrvaneWriter::outputStartDoc() { KelTraceScope trace(this, "XmlBrokerOrvaneWriter::outputStartDoc"); }
void XmlBrokerOrvaneWriter::outputEndDoc() { KelTraceScope trace(this, "XmlBrokerOrvaneWriter::outputEndDoc"); }
void XmlBrokerOrvaneWriter::clearBuffer() { KelTraceScope trace(this, "XmlBrokerOrvaneWriter::clearBuffer"); }

// ---- pausing ----------------------------------------------------------------------------------

void XmlBrokerOrvaneWriter::pauseOutput() {
    if (iPauseDepth++ == 0) pause();
}

void XmlBrokerOrvaneWriter::resumeOutput(int floor) {
    if (iPauseDepth > floor && --iPauseDepth == 0) resume();
}

void XmlBrokerOrvaneWriter::setPauseDepth(int depth) {
    iPauseDepth = depth;
    if (depth > 0) pause();
    else resume();
}

// ---- pieces on their way to the output --------------------------------------------------------

void XmlBrokerOrvaneWriter::flushPending() { iOutput.flush(); }

void XmlBrokerOrvaneWriter::emitPiece(const KelStringBase& piece) { emitPiece(piece.data(), piece.length()); }

void XmlBrokerOrvaneWriter::emitPiece(const char16_t* text, std::size_t length) {
    if (length == 0) return;
    settleDocTypeCloseForMarkup();
    iOutput.write(text, length);
}

KelStringBase& XmlBrokerOrvaneWriter::newPiece() {
    iPiece.clearAndReserve(64);
    return iPiece;
}

void XmlBrokerOrvaneWriter::emitBuiltPiece() { emitPiece(iPiece); }

void XmlBrokerOrvaneWriter::emitLiteral(const KelStringBase& lead, const KelStringBase& quote,
                                        const KelStringBase& text) {
    emitPiece(lead);
    emitPiece(quote);
    emitPiece(text);
    emitPiece(quote);
}

void XmlBrokerOrvaneWriter::settleDocTypeCloseForMarkup() {
    if (iDocTypeClose.take() == XmlDocTypeCloseTracker::Owed) iOutput.write(wcsRightAngle);
}

bool XmlBrokerOrvaneWriter::outputPieceOfOriginalBuffer(const unsigned char* start, const unsigned char* end,
                                                        long ccsid, bool bigEndian) {
    if (paused()) return true;
    KelTraceScope trace(this, "XmlBrokerOrvaneWriter::outputPieceOfOriginalBuffer", static_cast<const void*>(start),
                        static_cast<const void*>(end), ccsid, bigEndian);
    // UTF-16 comes in whole byte pairs; half a pair is as wrong as an end before the start.
    if (end < start || (isUtf16(ccsid) && (end - start) % 2 != 0)) {
        kelThrow<KelParserException>(this, KEL_HERE, "XmlBrokerOrvaneWriter::outputPieceOfOriginalBuffer",
                                     KelMsg::E_XmlP_BufferOffsets, static_cast<const void*>(start),
                                     static_cast<const void*>(end));
    }

    // Right after a document type declaration: the stretch may carry the declaration's ">".
    bool supplyClose = false;
    const unsigned char* from = iDocTypeClose.copyFrom(start, end, ccsid, bigEndian, supplyClose);
    const KelStringBase* lead = supplyClose ? &wcsRightAngle : nullptr;

    if (ccsid == iOutputCodepage) {
        iDocTypeClose.set(XmlDocTypeCloseTracker::None);
        if (lead != nullptr) iOutput.write(*lead);
        iOutput.copyBytes(from, end, isUtf16(ccsid) && bigEndian != iOutput.bigEndian());
        return true;
    }
    // Converted: false, with nothing written, when the output page cannot hold the stretch.
    if (!iOutput.convertStretch(from, end, ccsid, bigEndian, lead)) return false;
    iDocTypeClose.set(XmlDocTypeCloseTracker::None);
    return true;
}

void XmlBrokerOrvaneWriter::outputText(const KelStringBase& text, XmlTextEscaper::Mode mode) {
    const XmlTextEscaper::Need need = XmlTextEscaper::examine(text, mode, iOutput.coverage());
    if (need == XmlTextEscaper::NotXml || (need == XmlTextEscaper::Controls && !writesXml11()))
        refuseCharacters(text, "XmlBrokerOrvaneWriter::outputText");
    if (need == XmlTextEscaper::AsItStands) {
        emitPiece(text);
        return;
    }
    // Escaped text goes into the pending text straight away, whatever its length.
    settleDocTypeCloseForMarkup();
    XmlTextEscaper::append(text, mode, need, iOutput.coverage(), iOutput.pendingText());
}

bool XmlBrokerOrvaneWriter::writesXml11() {
    // Asked only when text written anew holds a control character: the declaration of the
    // document this writer's parser holds says.
    // The prolog only: asking past the document element would scan all of it.
    KelSyntaxElement* root = iOwner != nullptr ? iOwner->rootElement() : nullptr;
    for (KelSyntaxElement* top = root != nullptr ? root->firstChild() : nullptr;
         top != nullptr && effectiveType(top) != XmlTypeElement; top = top->nextSibling()) {
        if (effectiveType(top) != XmlTypeXmlDecl) continue;
        // The version the declaration is written with: its first part that has one.
        for (KelSyntaxElement* part = top->firstChild(); part != nullptr; part = part->nextSibling()) {
            if (effectiveType(part) != XmlTypeVersion) continue;
            const KelStringBase version = part->value().valueAsCharacter();
            if (!version.empty()) return version == KelStringBase(u"1.1");
        }
        return false;
    }
    return false;
}

bool XmlBrokerOrvaneWriter::isCharacterOfEveryVersion(char16_t u) noexcept {
    return (u >= 0x20 || u == u'\t' || u == u'\n' || u == u'\r') && u < 0xFFFE;
}

void XmlBrokerOrvaneWriter::refuseCharacters(const KelStringBase& text, const char* function) {
    // No reader takes them back: a control character in XML 1.0 (or unescaped, in 1.1), NUL,
    // U+FFFE or U+FFFF. Refused as a comment with "--" is, rather than written as text no
    // reader accepts.
    kelThrow<KelParserException>(this, KEL_HERE, function, KelMsg::E_XmlP_validateTree, text);
}

void XmlBrokerOrvaneWriter::checkCharacters(const KelStringBase& text, const char* function) {
    for (std::size_t i = 0; i < text.length(); ++i)
        if (!isCharacterOfEveryVersion(text[i])) refuseCharacters(text, function);
}

void XmlBrokerOrvaneWriter::checkName(const KelStringBase& name, const char* function) {
    if (!XmlMarkupRules::isName(name))
        kelThrow<KelParserException>(this, KEL_HERE, function, KelMsg::E_XmlP_InvalidElementNameFound, name);
    checkPageHolds(name, "in a name", function);
}

void XmlBrokerOrvaneWriter::checkPageHolds(const KelStringBase& text, const char* what, const char* function) {
    XmlPageCoverage& coverage = iOutput.coverage();
    if (coverage.coversUnicode() || coverage.canEncode(text.data(), text.length())) return;
    // The first character the page lacks, for the report.
    coverage.prepareAscii();
    unsigned long codePoint = 0;
    for (std::size_t i = 0; i < text.length(); ++i) {
        const char16_t u = text[i];
        if (coverage.asciiCovered(u)) continue;
        const bool pair = u >= 0xD800 && u <= 0xDBFF && i + 1 < text.length() && text[i + 1] >= 0xDC00 &&
                          text[i + 1] <= 0xDFFF;
        if (coverage.encodesAlone(text.data() + i, pair ? 2 : 1)) {
            if (pair) ++i;
            continue;
        }
        codePoint = pair ? 0x10000ul + ((static_cast<unsigned long>(u) - 0xD800ul) << 10) + (text[i + 1] - 0xDC00ul) : u;
        break;
    }
    char character[16];
    std::snprintf(character, sizeof character, "U+%04lX", codePoint);
    // The place: where the element stands in the input, when it came from there. The parser
    // turns the byte offset into a line and a column.
    KelDocumentPosition where;
    KelStringBase element;
    if (iSubject != nullptr && iOwner != nullptr && isXmlSyntaxElement(iSubject)) {
        const XmlKelSyntaxElement* xml = asXmlElement(iSubject);
        const KelBuffer& input = iOwner->storedBitStream();
        if (xml != nullptr && xml->getBufferStart() != nullptr && input.data() != nullptr &&
            xml->getBufferStart() >= input.data() && xml->getBufferStart() < input.data() + input.length())
            where.offset = xml->getBufferStart() - input.data();
        if ((iSubject->type() & kXmlClassMask) == (XmlTypeElement & kXmlClassMask)) element = iSubject->name();
    }
    kelThrowAt(where, element, this, KEL_HERE, function, KelMsg::E_Kel_ConversionFailed,
                                   iOutputCodepage, std::string(character) + " " + what);
}

// ---- output wrappers --------------------------------------------------------------------------

void XmlBrokerOrvaneWriter::outputStartElementBegin(const KelStringBase& name) {
    if (paused()) return;
    checkName(name, "XmlBrokerOrvaneWriter::outputStartElementBegin");
    iAttributeNames.clear();
    iAttributeNameSet.clear();
    emitPiece(wcsLeftAngle);
    emitPiece(name);
}

void XmlBrokerOrvaneWriter::outputStartElementEnd(const KelStringBase& /*name*/) {
    if (paused()) return;
    emitPiece(wcsRightAngle);
}

void XmlBrokerOrvaneWriter::outputEndEmptyElement(const KelStringBase& /*name*/) {
    if (paused()) return;
    emitPiece(wcsForwardSlashRightAngle);
}

void XmlBrokerOrvaneWriter::outputEndElement(const KelStringBase& name) {
    if (paused()) return;
    emitPiece(wcsLeftAngleForwardSlash);
    emitPiece(name);
    emitPiece(wcsRightAngle);
}

void XmlBrokerOrvaneWriter::outputCharacters(const KelStringBase& text, bool escape) {
    if (paused()) return;
    if (escape) outputText(text, XmlTextEscaper::Content);
    else emitPiece(text);
}

void XmlBrokerOrvaneWriter::outputAttribute(const KelStringBase& name, const KelValue& value,
                                            const KelStringBase& quote) {
    if (paused()) return;
    checkName(name, "XmlBrokerOrvaneWriter::outputAttribute");
    emitPiece(wcsSpace);
    emitPiece(name);
    emitPiece(wcsEquals);
    emitPiece(quote);
    if (value.isCharacter()) {
        outputText(value.characterValue(), XmlTextEscaper::Attribute);
    } else {
        outputText(value.valueAsCharacter(), XmlTextEscaper::Attribute);
    }
    emitPiece(quote);
}

void XmlBrokerOrvaneWriter::writeAttribute(KelSyntaxElement* attribute) {
    XmlKelSyntaxElement* xml = isXmlSyntaxElement(attribute) ? asXmlElement(attribute) : nullptr;
    const KelStringBase& quote = (xml != nullptr && xml->isDoubleQuotedAttribute()) ? wcsDoubleQuote : wcsSingleQuote;
    const KelValue& value = attribute->value();
    if (value.isNull()) return;
    if (!paused()) checkNewAttributeName(attribute->name());
    checkMovedAttributePrefix(attribute);
    // An unchanged value that held a reference to an undeclared entity keeps its source text.
    // From another message, that reference may stand only where the entities are not all known
    // here; its value alone lacks what the reference stood for.
    // A copy of such a value, or the value renamed, has no source text to give back: written from
    // its value it would lose the reference without a word.
    if (xml != nullptr && !paused() &&
        ((xml->hasSpan() && attribute->parser() != iOwner && !entityScope().open) ||
         (xml->valueLacksReference() && !xml->hasSpan())))
        kelThrow<KelParserException>(this, KEL_HERE, "XmlBrokerOrvaneWriter::outputAttribute",
                                     KelMsg::E_XmlP_validateTree, attribute->name());
    if (xml != nullptr && xml->hasSpan())
        outputAttributeSource(attribute->name(), *xml, value, quote);
    else
        outputAttribute(attribute->name(), value, quote);
}

void XmlBrokerOrvaneWriter::checkNewAttributeName(const KelStringBase& name) {
    // A start tag with a name twice is no XML: most tags have a few attributes, so a list does
    // until a tag has many.
    bool repeated;
    if (iAttributeNames.size() < 32) {
        repeated = std::find(iAttributeNames.begin(), iAttributeNames.end(), name) != iAttributeNames.end();
        iAttributeNames.push_back(name);
        if (iAttributeNames.size() == 32) iAttributeNameSet.insert(iAttributeNames.begin(), iAttributeNames.end());
    } else {
        repeated = !iAttributeNameSet.insert(name).second;
    }
    if (repeated)
        kelThrow<KelParserException>(this, KEL_HERE, "XmlBrokerOrvaneWriter::outputAttribute",
                                     KelMsg::E_XmlP_validateTree, name);
}

XmlKelSyntaxElement* XmlBrokerOrvaneWriter::startTagSource(KelSyntaxElement* element) {
    if (!iSpanReuse || !isXmlSyntaxElement(element)) return nullptr;
    XmlKelSyntaxElement* xml = asXmlElement(element);
    return xml != nullptr && xml->keepsStartTagSource() ? xml : nullptr;
}

bool XmlBrokerOrvaneWriter::copySource(const unsigned char* start, const unsigned char* end,
                                       const XmlKelSyntaxElement& from) {
    return outputPieceOfOriginalBuffer(start, end, from.getBufferCodepage(), from.getBufferBigEndian() != 0);
}

XmlBrokerOrvaneWriter::TagOutcome XmlBrokerOrvaneWriter::writeStartTagFromSource(KelSyntaxElement* element,
                                                                              XmlKelSyntaxElement& tags) {
    const bool endTagInInput = tags.startTagEnd() < tags.tagsEnd();
    if (!readStartTagSource(element, tags) || iTagSource.emptyTag() == endTagInInput) return TagOutcome::NotWritten;
    const KelStringBase& name = element->name();
    const bool hasContent = writeStartTagPieces(element, tags);
    const unsigned char* close = iTagSource.closeStart();
    if (endTagInInput) {
        // ">" as it stood, and the end tag too when the element closes.
        if (!copySource(close, iTagSource.end(), tags)) outputStartElementEnd(name);
        iStack.push_back(Frame{element, element->firstChild(), iPauseDepth, true});
        return TagOutcome::Open;
    }
    if (!hasContent) {
        if (!copySource(close, iTagSource.end(), tags)) outputEndEmptyElement(name);
        return TagOutcome::Closed;
    }
    outputStartElementEnd(name);
    iStack.push_back(Frame{element, element->firstChild(), iPauseDepth, false});
    return TagOutcome::Open;
}

bool XmlBrokerOrvaneWriter::readStartTagSource(KelSyntaxElement* element, const XmlKelSyntaxElement& tags) {
    return !paused() && iTagSource.read(tags.tagStart(), tags.startTagEnd(), tags.getBufferCodepage(),
                                        tags.getBufferBigEndian() != 0, element->name());
}

// The "<" and name and every unchanged attribute with the white space before it are copied; a
// changed value is written between its own name and quotes, a new attribute anew, a removed one
// is left out. Each piece the output page cannot take from the input is written anew.
bool XmlBrokerOrvaneWriter::writeStartTagPieces(KelSyntaxElement* element, const XmlKelSyntaxElement& tags) {
    iAttributeNames.clear();
    iAttributeNameSet.clear();
    if (!copySource(iTagSource.start(), iTagSource.afterName(), tags)) outputStartElementBegin(element->name());
    iSubject = element;
    bool hasContent = false;
    std::size_t next = 0;   // the tag's attributes before this one are written or left out
    for (KelSyntaxElement* child = element->knownFirstChild(); child; child = child->knownNextSibling()) {
        if (effectiveType(child) != XmlTypeAttribute) {
            hasContent = true;
            continue;
        }
        next = writeAttributeFromSource(child, tags, next);
    }
    iSubject = nullptr;
    return hasContent;
}

std::size_t XmlBrokerOrvaneWriter::writeAttributeFromSource(KelSyntaxElement* attribute,
                                                            const XmlKelSyntaxElement& tags, std::size_t next) {
    const KelValue& value = attribute->value();
    if (value.isNull()) return next;
    const KelStringBase& name = attribute->name();
    // The same name further on in the tag: this attribute, or one that took its place (names are
    // unique in a tag). One from elsewhere or moved before one already written is written anew.
    const std::vector<XmlTagSource::Attribute>& spelled = iTagSource.attributes();
    std::size_t found = next;
    while (found < spelled.size() && !iTagSource.names(spelled[found], name)) ++found;
    if (found == spelled.size()) {
        writeAttribute(attribute);
        return next;
    }
    const XmlTagSource::Attribute& source = spelled[found];
    XmlKelSyntaxElement* xml = isXmlSyntaxElement(attribute) ? asXmlElement(attribute) : nullptr;
    if (xml != nullptr && !xml->isAsParsed() && xml->valueLacksReference()) {
        // Its value alone lacks a reference: given back from its own source text, or refused.
        writeAttribute(attribute);
        return found + 1;
    }
    checkNewAttributeName(name);
    checkMovedAttributePrefix(attribute);
    if (xml != nullptr && xml->isAsParsed()) {
        if (!copySource(source.own, source.end, tags))
            outputAttribute(name, value, xml->isDoubleQuotedAttribute() ? wcsDoubleQuote : wcsSingleQuote);
        return found + 1;
    }
    // Its value changed: written between the quotes the tag had.
    const bool doubleQuoted = iTagSource.isDoubleQuoted(source);
    const KelStringBase& quote = doubleQuoted ? wcsDoubleQuote : wcsSingleQuote;
    if (copySource(source.own, source.valueStart, tags)) {
        outputText(value.isCharacter() ? value.characterValue() : value.valueAsCharacter(), XmlTextEscaper::Attribute);
        emitPiece(quote);
    } else {
        outputAttribute(name, value, quote);
    }
    return found + 1;
}

void XmlBrokerOrvaneWriter::outputAttributeSource(const KelStringBase& name, const XmlKelSyntaxElement& attribute,
                                                  const KelValue& value, const KelStringBase& quote) {
    if (paused()) return;
    checkName(name, "XmlBrokerOrvaneWriter::outputAttribute");
    emitPiece(wcsSpace);
    emitPiece(name);
    emitPiece(wcsEquals);
    emitPiece(quote);
    // The value as it stood, references and all; from the value only where the output page
    // cannot hold the source text.
    if (!outputPieceOfOriginalBuffer(attribute.getBufferStart(), attribute.getBufferEnd(),
                                     attribute.getBufferCodepage(), attribute.getBufferBigEndian() != 0))
        outputText(value.isCharacter() ? value.characterValue() : value.valueAsCharacter(), XmlTextEscaper::Attribute);
    emitPiece(quote);
}

void XmlBrokerOrvaneWriter::outputCDataSection(const KelStringBase& text) {
    if (paused()) return;
    XmlPageCoverage& coverage = iOutput.coverage();
    const bool covered = coverage.coversUnicode() || coverage.canEncode(text.data(), text.length());
    // A carriage return, and a character XML 1.0 lacks, need the splitting below.
    const bool plain = std::all_of(text.data(), text.data() + text.length(),
                                   [](char16_t u) { return u != u'\r' && isCharacterOfEveryVersion(u); });
    if (covered && plain && text.find(wcsRightSquareSquare) == KelStringBase::npos) {
        XmlOrvaneWriter::outputCDataSection(newPiece(), text);
        emitBuiltPiece();
        return;
    }
    // "]]>" cannot stand inside a section: end the section between "]]" and ">" and start a new
    // one. Nor can a carriage return, which every reader turns into a line feed, nor a character
    // the output page lacks: each goes between two sections as a character reference. So the
    // text survives whole.
    static const KelStringBase restart = KelStringBase::fromAscii("]]><![CDATA[");
    static const KelStringBase carriageReturn = KelStringBase::fromAscii("]]>&#13;<![CDATA[");
    static const KelStringBase sectionEnd = KelStringBase::fromAscii("]]>");
    static const KelStringBase sectionStart = KelStringBase::fromAscii("<![CDATA[");
    if (!covered) coverage.prepareAscii();
    KelStringBase split;
    std::size_t from = 0;
    bool endsInReference = false;   // a section reopened after a reference holds nothing yet
    const std::size_t length = text.length();
    for (std::size_t i = 0; i < length; ++i) {
        const char16_t u = text[i];
        if (u == u'\r') {
            split.append(text.data() + from, i - from);
            split.append(carriageReturn);
            from = i + 1;
            endsInReference = false;
        } else if (u == u']' && i + 2 < length && text[i + 1] == u']' && text[i + 2] == u'>') {
            split.append(text.data() + from, i + 2 - from);
            split.append(restart);
            from = i + 2;
            ++i;
            endsInReference = false;
        } else if (!isCharacterOfEveryVersion(u)) {
            // A control character stands in XML 1.1 as a reference only, between two sections.
            if (u == 0 || u >= 0xFFFE || !writesXml11())
                refuseCharacters(text, "XmlBrokerOrvaneWriter::outputCDataSection");
            split.append(text.data() + from, i - from);
            split.append(sectionEnd);
            XmlTextEscaper::append(text.substr(i, 1), XmlTextEscaper::Content, XmlTextEscaper::Controls, coverage, split);
            split.append(sectionStart);
            from = i + 1;
            endsInReference = from == length;
        } else if (!covered && !coverage.asciiCovered(u)) {
            const bool pair = u >= 0xD800 && u <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
                              text[i + 1] <= 0xDFFF;
            const std::size_t count = pair ? 2 : 1;
            if (coverage.encodesAlone(text.data() + i, count) || (!pair && u >= 0xD800 && u <= 0xDFFF)) {
                i += count - 1;   // the page holds it (a lone surrogate: the conversion reports it)
                continue;
            }
            split.append(text.data() + from, i - from);
            split.append(sectionEnd);
            XmlTextEscaper::append(text.substr(i, count), XmlTextEscaper::Content, XmlTextEscaper::ReferencesForPage,
                                   coverage, split);
            split.append(sectionStart);
            from = i + count;
            i += count - 1;
            endsInReference = from == length;
        }
    }
    split.append(text.data() + from, length - from);
    XmlOrvaneWriter::outputCDataSection(newPiece(), split);
    // A section that would end empty after a reference is left out.
    if (endsInReference) iPiece.resize(iPiece.length() - sectionStart.length() - sectionEnd.length());
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputIgnorableWhiteSpace(const KelStringBase& text) {
    if (paused()) return;
    XmlOrvaneWriter::outputIgnorableWhiteSpace(newPiece(), text);
    emitBuiltPiece();
}

// Comments and processing instructions hold no references: their text is written as it stands.
void XmlBrokerOrvaneWriter::outputProcessingInstruction(const KelStringBase& target, const KelStringBase& data) {
    if (paused()) return;
    // "xml" in any case is the declaration's, not a target; "?>" would end the instruction early.
    if (XmlMarkupRules::isReservedTarget(target))
        kelThrow<KelParserException>(this, KEL_HERE, "XmlBrokerOrvaneWriter::outputProcessingInstruction",
                                     KelMsg::E_XmlP_InvalidElementNameFound, target);
    checkName(target, "XmlBrokerOrvaneWriter::outputProcessingInstruction");
    if (!XmlMarkupRules::isInstructionData(data))
        kelThrow<KelParserException>(this, KEL_HERE, "XmlBrokerOrvaneWriter::outputProcessingInstruction",
                                     KelMsg::E_XmlP_validateTree, data);
    checkCharacters(data, "XmlBrokerOrvaneWriter::outputProcessingInstruction");
    checkPageHolds(data, "in a processing instruction", "XmlBrokerOrvaneWriter::outputProcessingInstruction");
    XmlOrvaneWriter::outputProcessingInstruction(newPiece(), target, data, false);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputXmlComment(const KelStringBase& text) {
    if (paused()) return;
    // "--" may not stand in a comment, nor "-" at its end, where it would make "--->".
    if (!XmlMarkupRules::isCommentText(text))
        kelThrow<KelParserException>(this, KEL_HERE, "XmlBrokerOrvaneWriter::outputXmlComment",
                                     KelMsg::E_XmlP_validateTree, text);
    checkCharacters(text, "XmlBrokerOrvaneWriter::outputXmlComment");
    checkPageHolds(text, "in a comment", "XmlBrokerOrvaneWriter::outputXmlComment");
    XmlOrvaneWriter::outputXmlComment(newPiece(), text, false);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputEntityReference(const KelStringBase& name) {
    if (paused()) return;
    checkName(name, "XmlBrokerOrvaneWriter::outputEntityReference");
    XmlOrvaneWriter::outputEntityReference(newPiece(), name, true);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputParameterEntityReference(const KelStringBase& name) {
    if (paused()) return;
    checkName(name, "XmlBrokerOrvaneWriter::outputParameterEntityReference");
    XmlOrvaneWriter::outputParameterEntityReference(newPiece(), name, true);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputXmlDeclBegin() {
    if (paused()) return;
    XmlOrvaneWriter::outputXmlDeclBegin(newPiece());
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputXmlDeclEnd() {
    if (paused()) return;
    XmlOrvaneWriter::outputXmlDeclEnd(newPiece());
    emitBuiltPiece();
}

// The parts of the declaration are written as they stand: one that is not what its pseudo-attribute
// takes ends the declaration early or makes it unreadable, so it is refused.
void XmlBrokerOrvaneWriter::checkDeclarationPart(bool valid, const KelStringBase& text, const char* function) {
    if (!valid) kelThrow<KelParserException>(this, KEL_HERE, function, KelMsg::E_XmlP_validateTree, text);
}

void XmlBrokerOrvaneWriter::outputXmlVersion(const KelStringBase& text) {
    if (paused()) return;
    checkDeclarationPart(XmlMarkupRules::isVersionNumber(text), text, "XmlBrokerOrvaneWriter::outputXmlVersion");
    XmlOrvaneWriter::outputXmlVersion(newPiece(), text, true);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputXmlEncoding(const KelStringBase& text) {
    if (paused()) return;
    checkDeclarationPart(XmlMarkupRules::isEncodingName(text), text, "XmlBrokerOrvaneWriter::outputXmlEncoding");
    XmlOrvaneWriter::outputXmlEncoding(newPiece(), text, true);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputXmlStandAlone(const KelStringBase& text) {
    if (paused()) return;
    checkDeclarationPart(XmlMarkupRules::isStandaloneValue(text), text, "XmlBrokerOrvaneWriter::outputXmlStandAlone");
    XmlOrvaneWriter::outputXmlStandAlone(newPiece(), text, true);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputDocTypeBegin(const KelStringBase& name, bool escape) {
    if (paused()) return;
    checkName(name, "XmlBrokerOrvaneWriter::outputDocTypeBegin");
    XmlOrvaneWriter::outputDocTypeBegin(newPiece(), name, escape);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::closeDocTypeAfterSubset() {
    // A copied internal subset brought the declaration's '>' (and the blanks before it) along.
    if (iDocTypeClose.subsetCarriedClose()) {
        iDocTypeClose.setSubsetCarriedClose(false);
        iDocTypeClose.set(XmlDocTypeCloseTracker::Written);
        return;
    }
    outputDocTypeEnd();
}

void XmlBrokerOrvaneWriter::outputDocTypeEnd() {
    if (paused()) return;
    XmlOrvaneWriter::outputDocTypeEnd(newPiece());
    emitBuiltPiece();
    iDocTypeClose.set(XmlDocTypeCloseTracker::Written);
}

void XmlBrokerOrvaneWriter::outputInternalSubsetBegin() {
    if (paused()) return;
    XmlOrvaneWriter::outputInternalSubsetBegin(newPiece());
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputInternalSubsetEnd() {
    if (paused()) return;
    XmlOrvaneWriter::outputInternalSubsetEnd(newPiece());
    emitBuiltPiece();
}

// Identifiers are literals without references: escaping would change them, so a literal is
// written as it stands, in single quotes when it holds a quotation mark.
void XmlBrokerOrvaneWriter::outputPublicId(const KelStringBase& text) {
    if (paused()) return;
    // Quotes are not among what a public identifier may hold, so the double quotes always fit.
    if (!XmlMarkupRules::isPublicIdLiteral(text))
        kelThrow<KelParserException>(this, KEL_HERE, "XmlBrokerOrvaneWriter::outputPublicId",
                                     KelMsg::E_XmlP_validateTree, text);
    checkCharacters(text, "XmlBrokerOrvaneWriter::outputPublicId");
    XmlOrvaneWriter::outputPublicId(newPiece(), text, false);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputSystemId(const KelStringBase& text) {
    if (paused()) return;
    refuseUnquotable(text, "XmlBrokerOrvaneWriter::outputSystemId");
    checkCharacters(text, "XmlBrokerOrvaneWriter::outputSystemId");
    if (containsUnit(text, u'"')) {
        emitLiteral(wcsSystemSpace, wcsSingleQuote, text);
        return;
    }
    XmlOrvaneWriter::outputSystemId(newPiece(), text, false);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::refuseUnquotable(const KelStringBase& text, const char* function) {
    // A system literal holds no references: with both quotes in it, neither quote can close it.
    if (!XmlMarkupRules::isSystemLiteral(text))
        kelThrow<KelParserException>(this, KEL_HERE, function, KelMsg::E_XmlP_validateTree, text);
}

void XmlBrokerOrvaneWriter::outputSystemLiteral(const KelStringBase& text) {
    if (paused()) return;
    refuseUnquotable(text, "XmlBrokerOrvaneWriter::outputSystemLiteral");
    checkCharacters(text, "XmlBrokerOrvaneWriter::outputSystemLiteral");
    emitLiteral(wcsSpace, containsUnit(text, u'"') ? wcsSingleQuote : wcsDoubleQuote, text);
}

void XmlBrokerOrvaneWriter::outputNotationReference(const KelStringBase& name) {
    if (paused()) return;
    checkName(name, "XmlBrokerOrvaneWriter::outputNotationReference");
    XmlOrvaneWriter::outputNotationReference(newPiece(), name, true);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputEntityDeclarationBegin(const KelStringBase& name) {
    if (paused()) return;
    checkName(name, "XmlBrokerOrvaneWriter::outputEntityDeclarationBegin");
    XmlOrvaneWriter::outputEntityDeclarationBegin(newPiece(), name, true);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputParameterEntityDeclarationBegin(const KelStringBase& name) {
    if (paused()) return;
    checkName(name, "XmlBrokerOrvaneWriter::outputParameterEntityDeclarationBegin");
    XmlOrvaneWriter::outputParameterEntityDeclarationBegin(newPiece(), name, true);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputNotationDeclarationBegin(const KelStringBase& name) {
    if (paused()) return;
    checkName(name, "XmlBrokerOrvaneWriter::outputNotationDeclarationBegin");
    XmlOrvaneWriter::outputNotationDeclarationBegin(newPiece(), name, true);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputEntityDeclarationEnd(const KelStringBase& name) {
    if (paused()) return;
    XmlOrvaneWriter::outputEntityDeclarationEnd(newPiece(), name);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputNotationDeclarationEnd(const KelStringBase& name) {
    if (paused()) return;
    XmlOrvaneWriter::outputNotationDeclarationEnd(newPiece(), name);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputElementDef(const KelStringBase& name, const KelStringBase& model, bool escape) {
    if (paused()) return;
    checkName(name, "XmlBrokerOrvaneWriter::outputElementDef");
    // The content model is written as it stands: one no reader takes is refused, not written.
    if (!XmlMarkupRules::isContentModel(model))
        kelThrow<KelParserException>(this, KEL_HERE, "XmlBrokerOrvaneWriter::outputElementDef",
                                     KelMsg::E_XmlP_validateTree, model);
    XmlOrvaneWriter::outputElementDef(newPiece(), name, model, escape);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputAttListBegin(const KelStringBase& name, bool escape) {
    if (paused()) return;
    checkName(name, "XmlBrokerOrvaneWriter::outputAttListBegin");
    XmlOrvaneWriter::outputAttListBegin(newPiece(), name, escape);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputAttDef(const KelStringBase& name, bool escape, bool leadingSpace) {
    if (paused()) return;
    checkName(name, "XmlBrokerOrvaneWriter::outputAttDef");
    XmlOrvaneWriter::outputAttDef(newPiece(), name, escape);
    if (leadingSpace) emitBuiltPiece();
    else if (!iPiece.empty()) emitPiece(iPiece.data() + 1, iPiece.length() - 1);
}

void XmlBrokerOrvaneWriter::checkAttributeType(const KelStringBase& keyword, const KelStringBase& enumeration) {
    if (paused() || XmlMarkupRules::isAttributeType(keyword, enumeration)) return;
    KelStringBase type(keyword);
    if (!keyword.empty() && !enumeration.empty()) type.append(XmlConstants::wcsSpace);
    type.append(enumeration);
    kelThrow<KelParserException>(this, KEL_HERE, "XmlBrokerOrvaneWriter::checkAttributeType",
                                 KelMsg::E_XmlP_validateTree, type);
}

void XmlBrokerOrvaneWriter::outputAttListEnd() {
    if (paused()) return;
    XmlOrvaneWriter::outputAttListEnd(newPiece());
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputAttributeDefDefaultType(KelStringBase text) {
    if (paused()) return;
    if (!XmlMarkupRules::isDefaultKeyword(text))
        kelThrow<KelParserException>(this, KEL_HERE, "XmlBrokerOrvaneWriter::outputAttributeDefDefaultType",
                                     KelMsg::E_XmlP_validateTree, text);
    XmlOrvaneWriter::outputAttributeDefDefaultType(newPiece(), text);
    emitBuiltPiece();
}

// The replacement text of an entity, quoted so that reading the declaration back gives the same
// replacement text.
void XmlBrokerOrvaneWriter::outputEntityValue(const KelStringBase& text) {
    if (paused()) return;
    emitPiece(wcsSpaceDblQuote);
    outputText(text, XmlTextEscaper::EntityValue);
    emitPiece(wcsDoubleQuote);
}

// A default value is an attribute value: escaped as one, so that it reads back unchanged.
void XmlBrokerOrvaneWriter::outputAttDefValue(const KelStringBase& text) {
    if (paused()) return;
    emitPiece(wcsSpaceDblQuote);
    outputText(text, XmlTextEscaper::Attribute);
    emitPiece(wcsDoubleQuote);
}

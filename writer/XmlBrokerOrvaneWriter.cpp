// XmlBrokerOrvaneWriter: the write driver, the copying of original stretches, the prolog and
// declaration writers, the element writer and the output wrappers.
#include "writer/XmlBrokerOrvaneWriter.hpp"

#include "common/XmlUtils.hpp"
#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "host/KelLog.hpp"
#include "host/KelParser.hpp"
#include "host/KelSingleByteTable.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelThrow.hpp"
#include "host/KelUtf8.hpp"
#include "host/KelValue.hpp"
#include "host/KelWriteBuffer.hpp"
#include "parser/XmlElementType.hpp"
#include "parser/XmlKelParser.hpp"
#include "parser/XmlKelSyntaxElement.hpp"
#include "writer/XmlFrontierCopier.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <string>

namespace {

constexpr std::size_t kSwapChunk = 1000;   // bytes swapped per append on the UTF-16 swap path
constexpr int kUtf8Ccsid = 1208;

bool isUtf16(long ccsid) noexcept { return KelConverter::isUtf16Ccsid(static_cast<int>(ccsid)); }

// A converter that met a character its code page cannot hold (as opposed to, say, an unknown
// code page, which must still travel out).
bool isUnmappable(const KelException& e) noexcept {
    return e.catalogueNumber() == (KelMsg::E_Kel_ConversionFailed.number & ~KelException::kSeverityMask);
}

bool isHighSurrogate(char16_t u) noexcept { return u >= 0xD800 && u <= 0xDBFF; }

// Decodes UTF-8 that is well formed; false (out unspecified) at the first ill-formed or cut-off
// sequence, which the converter then reports as it always has.
bool decodeWellFormedUtf8(const unsigned char* in, const unsigned char* end, KelStringBase& out) {
    char16_t* const begin = out.resizeForOverwrite(static_cast<std::size_t>(end - in));
    char16_t* o = begin;
    while (in < end) {
        const unsigned lead = *in;
        if (lead < 0x80) {
            *o++ = static_cast<char16_t>(lead);
            ++in;
            continue;
        }
        std::uint32_t code = 0;
        const int n = kelReadUtf8(in, end, code);
        if (n <= 0) return false;
        in += n;
        o = kelPutUtf16(o, code);
    }
    out.resize(static_cast<std::size_t>(o - begin));
    return true;
}
bool isLowSurrogate(char16_t u) noexcept { return u >= 0xDC00 && u <= 0xDFFF; }

void appendAscii(KelStringBase& out, const char* text) {
    while (*text) out.append(static_cast<char16_t>(static_cast<unsigned char>(*text++)));
}

bool isWhiteSpaceUnit(unsigned u) noexcept { return u == 0x20 || u == 0x09 || u == 0x0D || u == 0x0A; }

bool containsUnit(const KelStringBase& text, char16_t unit) noexcept {
    return text.find(unit) != KelStringBase::npos;
}

// The replacement of one code unit on its way into the given kind of text, or null to keep it.
// Content and attribute values use the five entity references; a carriage return would become a
// line feed when read back, and in attribute values tab and line feed would become spaces, so
// those are written as character references. An entity value is stored as its replacement text,
// where "&", "%" and the quotation mark have meaning of their own: character references keep
// them as they are.
const char* replacementFor(char16_t u, int mode) noexcept {
    enum { Content, Attribute, EntityValue };
    if (mode == EntityValue) {
        switch (u) {
        case u'&': return "&#x26;";
        case u'%': return "&#x25;";
        case u'"': return "&#x22;";
        case u'\r': return "&#xD;";
        default: return nullptr;
        }
    }
    switch (u) {
    case u'<': return "&lt;";
    case u'>': return "&gt;";
    case u'&': return "&amp;";
    case u'\'': return "&apos;";
    case u'"': return "&quot;";
    case u'\r': return "&#xD;";
    case u'\t': return mode == Attribute ? "&#x9;" : nullptr;
    case u'\n': return mode == Attribute ? "&#xA;" : nullptr;
    default: return nullptr;
    }
}

// Characters that a reader would not give back as they are when written plainly: control
// characters (which XML 1.1 accepts only as references) and the line separators that XML 1.1
// turns into line feeds. A character reference keeps them in every version.
bool needsNumericReference(char16_t u) noexcept {
    return (u < 0x20 && u != u'\t' && u != u'\n' && u != u'\r') || (u >= 0x7F && u <= 0x9F) || u == 0x2028;
}

// Characters without a look of their own (byte-order mark, joiners, variation selectors, tags,
// ...): a conversion may drop them silently when the output page lacks them.
bool isDefaultIgnorable(const char16_t* units, std::size_t count) noexcept {
    if (count == 2) {
        const unsigned long c = 0x10000ul + ((units[0] - 0xD800ul) << 10) + (units[1] - 0xDC00ul);
        return (c >= 0x1BCA0 && c <= 0x1BCA3) || (c >= 0x1D173 && c <= 0x1D17A) || (c >= 0xE0000 && c <= 0xE0FFF);
    }
    const char16_t u = units[0];
    return u == 0x00AD || u == 0x034F || u == 0x061C || u == 0x115F || u == 0x1160 || u == 0x17B4 || u == 0x17B5 ||
           (u >= 0x180B && u <= 0x180F) || (u >= 0x200B && u <= 0x200F) || (u >= 0x202A && u <= 0x202E) ||
           (u >= 0x2060 && u <= 0x206F) || u == 0x3164 || (u >= 0xFE00 && u <= 0xFE0F) || u == 0xFEFF ||
           u == 0xFFA0 || (u >= 0xFFF0 && u <= 0xFFF8);
}

bool isStandardEntityCharacter(char16_t u) noexcept {
    return u == u'<' || u == u'>' || u == u'&' || u == u'\'' || u == u'"';
}

bool isPrologKind(int type) noexcept {
    switch (type) {
    case XmlTypeXmlDecl:
    case XmlTypeDocTypeDecl:
    case XmlTypeInternalSubset:
    case XmlTypeExternalSubset:
    case XmlTypeUnparsedEntityDecl:
    case XmlTypeEntityDecl:
    case XmlTypeExternalEntityDecl:
    case XmlTypeParameterEntityDecl:
    case XmlTypeExternalParameterEntityDecl:
    case XmlTypeNotationDecl:
    case XmlTypeAttList:
    case XmlTypeAttDef:
    case XmlTypeElementDef:
    case XmlTypePublicId:
    case XmlTypeSystemId:
    case XmlTypeNotationReference:
    case XmlTypeEntityValue:
    case XmlTypeAttDefType:
    case XmlTypeAttDefDefaultType:
    case XmlTypeAttDefValue:
        return true;
    default:
        return false;
    }
}

const KelStringBase& versionOneZero() {
    static const KelStringBase text = KelStringBase::fromAscii("1.0");
    return text;
}

} // namespace

// ---- lifecycle --------------------------------------------------------------------------------

XmlBrokerOrvaneWriter::XmlBrokerOrvaneWriter(XmlKelParser* owner, bool spanReuse)
    : XmlOrvaneWriter(), KelOwnedLogSource(nullptr), iOutputCodepage(0), iOutputEncoding(0), iPendingText(),
      iFlushThreshold(kFlushThreshold), iWriteBuffer(nullptr), iPendingCodepage(0), iPendingByteOrder(0),
      iOwner(owner), iSpanReuse(spanReuse), iPauseDepth(0), iDeclarationDepth(0),
      iDocTypeClose(DocTypeCloseNone), iSubsetCarriedClose(false), iAsciiCoverageCcsid(-1), iMarkupBytes{}, iMarkupBytesCcsid(-1) {
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

int XmlBrokerOrvaneWriter::writeBuffer(KelWriteBuffer* buffer, KelSyntaxElement* root, long ccsid, long encoding) {
    KelTraceScope trace(this, "XmlBrokerOrvaneWriter::writeBuffer", static_cast<const void*>(buffer),
                        static_cast<const void*>(root), ccsid, encoding);
    XmlFrontierCopier* frontier = iFrontier;   // this write's only
    iFrontier = nullptr;
    if (buffer == nullptr || root == nullptr) {
        kelThrow<KelParserException>(this, KEL_HERE, "XmlBrokerOrvaneWriter::writeBuffer", KelMsg::E_XmlP_InvParams,
                                     static_cast<const void*>(buffer), static_cast<const void*>(root));
    }
    iOutputCodepage = static_cast<int>(ccsid);
    iOutputEncoding = static_cast<int>(encoding);
    const long usedBefore = buffer->used();
    iBytesCopied = 0;
    iBytesWritten = 0;
    if (isUtf16(ccsid)) {
        const long order = encoding & 0x0F;
        if (order == 1) {
            static const unsigned char mark[2] = {0xFE, 0xFF};
            buffer->append(mark, 2);
            setEndian(1);
        } else if (order == 2) {
            static const unsigned char mark[2] = {0xFF, 0xFE};
            buffer->append(mark, 2);
            setEndian(-1);
        } else {
            setEndian(-1);
        }
    } else {
        // Pages without a byte order still hand the conversion a defined value.
        setEndian(1);
        // A UTF-8 message that came with a byte-order mark keeps it: no element's text holds
        // the mark, so without this a pass-through would lose it.
        if (ccsid == 1208 && iOwner != nullptr && root == iOwner->rootElement() && iOwner->storedCcsid() == 1208) {
            const KelBuffer& input = iOwner->storedBitStream();
            if (input.length() >= 3 && input.data()[0] == 0xEF && input.data()[1] == 0xBB && input.data()[2] == 0xBF)
                buffer->append(input.data(), 3);
        }
    }

    iNewLineOutput = endsLinesWithNewLine(root, ccsid);

    // Each write starts afresh: nothing left over from a write that failed part way, and no
    // pause that an earlier tree left open.
    iWriteBuffer = buffer;
    iPendingCodepage = static_cast<int>(ccsid);
    iPendingByteOrder = getEndian();
    if (!iPendingText.empty()) iPendingText.clear();
    setPauseDepth(0);
    iDeclarationDepth = 0;
    iDocTypeClose = DocTypeCloseNone;
    iStack.clear();

    struct EndOfWrite {
        XmlBrokerOrvaneWriter* writer;
        ~EndOfWrite() {
            writer->iWriteBuffer = nullptr;
            writer->iPendingCodepage = 0;
            writer->iPendingByteOrder = 0;
            if (!writer->iPendingText.empty()) writer->iPendingText.clear();
            writer->iStack.clear();
        }
    } endOfWrite{this};

    if (frontier != nullptr) {
        const long afterMark = buffer->used();
        if (frontier->write()) {
            settleDocTypeCloseForMarkup();
            flushPending();
            iBytesWritten = buffer->used() - usedBefore;
            return static_cast<int>(buffer->used());
        }
        // The rest cannot be copied as it stands: the whole tree is written, from the start.
        buffer->setUsed(afterMark);
        restoreEndOfBuffer();
        if (!iPendingText.empty()) iPendingText.clear();
        setPauseDepth(0);
        iDeclarationDepth = 0;
        iDocTypeClose = DocTypeCloseNone;
        iStack.clear();
        iBytesCopied = 0;
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
    // A document type declaration that is the last thing written still gets its ">".
    settleDocTypeCloseForMarkup();
    flushPending();
    iBytesWritten = buffer->used() - usedBefore;
    return static_cast<int>(buffer->used());
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

// ---- prolog and declarations -----------------------------------------------------------------

void XmlBrokerOrvaneWriter::writeProlog(KelSyntaxElement* element) {
    const int type = effectiveType(element);
    KelDebugTraceScope trace(this, "XmlBrokerOrvaneWriter::writeProlog", type);
    if (iDeclarationDepth >= kMaxDeclarationDepth) {
        kelThrow<KelParserException>(this, KEL_HERE, "XmlBrokerOrvaneWriter::writeProlog",
                                     KelMsg::E_XmlP_validateTree, element->storedName(), kMaxDeclarationDepth);
    }
    struct Depth {
        int& depth;
        explicit Depth(int& d) : depth(d) { ++depth; }
        ~Depth() { --depth; }
    } depth(iDeclarationDepth);

    ensureComplete(element);
    if (!isPrologKind(type)) {
        writeMisc(element);
        return;
    }
    if (type == XmlTypeXmlDecl && !paused()) {
        // A declaration that names another page than the one written names the written one.
        const KelStringBase rename = declarationRename(element);
        if (!rename.empty()) {
            if (!copyDeclarationRenamed(element, rename)) writeXmlDeclaration(element, &rename);
            return;
        }
    }
    if (copyOriginal(element)) {
        if (type == XmlTypeInternalSubset) {
            // A parsed subset's text runs to the declaration's closing '>'.
            XmlKelSyntaxElement* xml = asXmlElement(element);
            iSubsetCarriedClose = !paused() && endsWithClose(xml->getBufferStart(), xml->getBufferEnd(),
                                                             xml->getBufferCodepage(), xml->getBufferBigEndian() != 0);
        }
        if (type == XmlTypeDocTypeDecl && !paused()) {
            if (KelSyntaxElement* subset = findChildElement(element, XmlTypeInternalSubset)) {
                iSubsetCarriedClose = false;
                writeProlog(subset);
                closeDocTypeAfterSubset();
            } else {
                XmlKelSyntaxElement* xml = asXmlElement(element);
                iDocTypeClose = endsWithClose(xml->getBufferStart(), xml->getBufferEnd(), xml->getBufferCodepage(),
                                              xml->getBufferBigEndian() != 0)
                                    ? DocTypeCloseWritten
                                    : DocTypeCloseOwed;
            }
        }
        return;
    }
    writePrologItem(element, type);
}

void XmlBrokerOrvaneWriter::writePrologItem(KelSyntaxElement* element, int type) {
    switch (type) {
    case XmlTypeXmlDecl:
        writeXmlDeclaration(element);
        break;
    case XmlTypeDocTypeDecl:
        outputDocTypeBegin(element->name(), true);
        iSubsetCarriedClose = false;
        writeEntityDeclChildren(element);
        closeDocTypeAfterSubset();
        break;
    case XmlTypeInternalSubset:
        outputInternalSubsetBegin();
        for (KelSyntaxElement* child = element->firstChild(); child; child = child->nextSibling()) writeProlog(child);
        outputInternalSubsetEnd();
        break;
    case XmlTypeExternalSubset:
        // Never read, so never rewritten: only its original bytes can stand for it.
        break;
    case XmlTypeUnparsedEntityDecl:
    case XmlTypeEntityDecl:
    case XmlTypeExternalEntityDecl:
        outputEntityDeclarationBegin(element->name());
        writeEntityDeclChildren(element);
        outputEntityDeclarationEnd(element->name());
        break;
    case XmlTypeParameterEntityDecl:
    case XmlTypeExternalParameterEntityDecl:
        outputParameterEntityDeclarationBegin(element->name());
        writeEntityDeclChildren(element);
        outputEntityDeclarationEnd(element->name());
        break;
    case XmlTypeNotationDecl:
        outputNotationDeclarationBegin(element->name());
        writeEntityDeclChildren(element);
        outputNotationDeclarationEnd(element->name());
        break;
    case XmlTypeAttList:
        outputAttListBegin(element->name(), true);
        for (KelSyntaxElement* child = element->firstChild(); child; child = child->nextSibling()) writeProlog(child);
        outputAttListEnd();
        break;
    case XmlTypeAttDef: {
        // White space read between the definitions is kept as an item of its own; a definition
        // right after it needs no space of its own, or every rewrite would add one.
        KelSyntaxElement* before = element->knownPreviousSibling();
        bool spaced = false;
        if (before != nullptr && effectiveType(before) == XmlTypeDocTypeWhiteSpace) {
            const KelValue& space = before->value();
            spaced = !space.isNull() && !space.valueAsCharacter().empty();
        }
        outputAttDef(element->name(), true, !spaced);
        writeAttributeDefChildren(element);
        break;
    }
    case XmlTypeElementDef: {
        const KelValue& value = element->value();
        if (!value.isNull()) outputElementDef(element->name(), value.characterValue(), true);
        break;
    }
    case XmlTypePublicId: {
        const KelValue& value = element->value();
        if (!value.isNull()) outputPublicId(value.valueAsCharacter());
        break;
    }
    case XmlTypeSystemId: {
        const KelValue& value = element->value();
        if (!value.isNull()) outputSystemId(value.valueAsCharacter());
        break;
    }
    case XmlTypeNotationReference: {
        const KelValue& value = element->value();
        if (!value.isNull()) outputNotationReference(value.valueAsCharacter());
        break;
    }
    case XmlTypeEntityValue: {
        const KelValue& value = element->value();
        if (!value.isNull()) outputEntityValue(value.valueAsCharacter());
        break;
    }
    case XmlTypeAttDefValue: {
        const KelStringBase text = element->value().valueAsCharacter();
        if (!text.empty()) outputAttDefValue(text);
        break;
    }
    case XmlTypeAttDefDefaultType: {
        const KelValue& value = element->value();
        if (!value.isNull()) outputAttributeDefDefaultType(value.valueAsCharacter());
        break;
    }
    case XmlTypeAttDefType: {
        const KelStringBase& name = element->name();
        if (!name.empty()) {
            KelStringBase text(wcsSpace);
            text.append(name);
            outputCharacters(text, true);
        }
        const KelStringBase enumeration = element->value().valueAsCharacter();
        if (!enumeration.empty()) {
            KelStringBase text(wcsSpace);
            text.append(enumeration);
            outputCharacters(text, true);
        }
        break;
    }
    default:
        break;
    }
}

KelStringBase XmlBrokerOrvaneWriter::declarationRename(KelSyntaxElement* element) {
    const KelValue* declared = nullptr;
    for (KelSyntaxElement* child = element->firstChild(); child; child = child->nextSibling()) {
        if (effectiveType(child) != XmlTypeEncoding) continue;
        const KelValue& value = child->value();
        if (!value.isNull()) {
            declared = &value;
            break;
        }
    }
    const std::string name = declared != nullptr ? declared->valueAsCharacter().toUtf8() : std::string();
    if (isUtf16(iOutputCodepage)) {
        // A reader finds UTF-16 by its mark or its first characters; a name of one byte order
        // is right only without a mark and in the order written.
        const auto is = [&name](const char* other) {
            return name.size() == std::strlen(other) &&
                   std::equal(name.begin(), name.end(), other, [](char a, char b) {
                       return std::toupper(static_cast<unsigned char>(a)) == b;
                   });
        };
        const bool marked = (iOutputEncoding & 0x0F) == 1 || (iOutputEncoding & 0x0F) == 2;
        const bool bigEndian = getEndian() != -1;
        if (declared == nullptr || is("UTF-16") || (!marked && is(bigEndian ? "UTF-16BE" : "UTF-16LE")))
            return KelStringBase();
        return KelStringBase::fromAscii("UTF-16");
    }
    // No name: the reader takes UTF-8 (the only other page it can find on its own).
    if (declared == nullptr && iOutputCodepage == kUtf8Ccsid) return KelStringBase();
    if (declared != nullptr) {
        if (name == iDeclarationName && iOutputCodepage == iDeclarationNameCcsid) return iDeclarationRename;
        iDeclarationName = name;
        iDeclarationNameCcsid = iOutputCodepage;
        const KelConverter* page = KelConverter::setCodepage(iOutputCodepage, 0);
        iDeclarationRename = page->isNamedBy(name) ? KelStringBase()
                                                   : KelStringBase::fromAscii(KelConverter::encodingNameFor(iOutputCodepage).c_str());
        return iDeclarationRename;
    }
    return KelStringBase::fromAscii(KelConverter::encodingNameFor(iOutputCodepage).c_str());
}

bool XmlBrokerOrvaneWriter::copyDeclarationRenamed(KelSyntaxElement* element, const KelStringBase& name) {
    // The declaration's own text, with only the encoding name changed (or one added after the
    // version), so that its quotes and blanks stay as they were.
    if (!iSpanReuse || !isXmlSyntaxElement(element)) return false;
    XmlKelSyntaxElement* xml = asXmlElement(element);
    if (xml == nullptr || xml->getBufferStart() == nullptr || xml->getBufferEnd() == nullptr ||
        xml->getBufferEnd() < xml->getBufferStart())
        return false;
    KelStringBase text;
    decodeStretch(xml->getBufferStart(), xml->getBufferEnd(), xml->getBufferCodepage(), xml->getBufferBigEndian() != 0,
                  text);
    const char16_t* units = text.data();
    const std::size_t length = text.length();
    // Blanks as a declaration may hold them (XML 1.1 adds NEL and the line separator).
    const auto isBlank = [](char16_t u) { return isWhiteSpaceUnit(u) || u == 0x85 || u == 0x2028; };
    const auto skipBlanks = [&](std::size_t i) {
        while (i < length && isBlank(units[i])) ++i;
        return i;
    };
    // The value of the pseudo-attribute `key`: [from, to) inside its quotes; false when absent.
    const auto findValue = [&](const char* key, std::size_t& from, std::size_t& to) {
        const KelStringBase keyText = KelStringBase::fromAscii(key);
        for (std::size_t at = text.find(keyText); at != KelStringBase::npos; at = text.find(keyText, at + 1)) {
            if (at == 0 || !isBlank(units[at - 1])) continue;
            std::size_t i = skipBlanks(at + keyText.length());
            if (i >= length || units[i] != u'=') continue;
            i = skipBlanks(i + 1);
            if (i >= length || (units[i] != u'"' && units[i] != u'\'')) continue;
            const std::size_t close = text.find(units[i], i + 1);
            if (close == KelStringBase::npos) return false;
            from = i + 1;
            to = close;
            return true;
        }
        return false;
    };
    if (length < 5 || text.find(KelStringBase::fromAscii("<?xml")) != 0) return false;
    std::size_t from = 0;
    std::size_t to = 0;
    KelStringBase edited;
    if (findValue("encoding", from, to)) {
        edited.append(units, from);
        edited.append(name);
        edited.append(units + to, length - to);
    } else if (findValue("version", from, to)) {
        edited.append(units, to + 1);
        const char16_t quote = units[to];
        edited.append(KelStringBase::fromAscii(" encoding="));
        edited.append(quote);
        edited.append(name);
        edited.append(quote);
        edited.append(units + to + 1, length - to - 1);
    } else {
        return false;
    }
    emitPiece(edited);
    return true;
}

void XmlBrokerOrvaneWriter::writeXmlDeclaration(KelSyntaxElement* element, const KelStringBase* encodingName) {
    // The first child of a kind that holds a value; children of that kind without one are passed over.
    auto firstValued = [this, element](int type) -> const KelValue* {
        for (KelSyntaxElement* child = element->firstChild(); child; child = child->nextSibling()) {
            if (effectiveType(child) != type) continue;
            const KelValue& value = child->value();
            if (!value.isNull()) return &value;
        }
        return nullptr;
    };
    outputXmlDeclBegin();
    if (const KelValue* version = firstValued(XmlTypeVersion)) outputXmlVersion(version->valueAsCharacter());
    else outputXmlVersion(versionOneZero());
    if (encodingName != nullptr) outputXmlEncoding(*encodingName);
    else if (const KelValue* encoding = firstValued(XmlTypeEncoding)) outputXmlEncoding(encoding->valueAsCharacter());
    if (const KelValue* standalone = firstValued(XmlTypeStandalone)) outputXmlStandAlone(standalone->valueAsCharacter());
    outputXmlDeclEnd();
}

void XmlBrokerOrvaneWriter::writeEntityDeclChildren(KelSyntaxElement* declaration) {
    const int type = effectiveType(declaration);
    // A public identifier always comes before the system literal, and both before the rest.
    bool identified = true;
    if (KelSyntaxElement* publicId = findChildElement(declaration, XmlTypePublicId)) {
        writeProlog(publicId);
        if (KelSyntaxElement* systemId = findChildElement(declaration, XmlTypeSystemId)) {
            const KelValue& value = systemId->value();
            outputSystemLiteral(value.isNull() ? wcsNull : value.valueAsCharacter());
        }
    } else if (KelSyntaxElement* systemId = findChildElement(declaration, XmlTypeSystemId)) {
        writeProlog(systemId);
    } else {
        identified = false;
    }
    // An empty identifier is read as no child at all; the declaration still needs its literal.
    if (!identified) {
        const bool external = type == XmlTypeExternalEntityDecl || type == XmlTypeExternalParameterEntityDecl ||
                              type == XmlTypeUnparsedEntityDecl || type == XmlTypeNotationDecl ||
                              (type == XmlTypeDocTypeDecl && findChildElement(declaration, XmlTypeExternalSubset));
        if (external) outputSystemId(wcsNull);
    }
    bool valued = false;
    for (KelSyntaxElement* child = declaration->firstChild(); child; child = child->nextSibling()) {
        const int childType = effectiveType(child);
        if (childType == XmlTypePublicId || childType == XmlTypeSystemId) continue;
        if (childType == XmlTypeEntityValue && !child->value().isNull()) valued = true;
        writeProlog(child);
    }
    // Likewise an empty replacement text: an internal entity is declared with a literal, if empty.
    if (!valued && (type == XmlTypeEntityDecl || type == XmlTypeParameterEntityDecl)) outputEntityValue(wcsNull);
}

void XmlBrokerOrvaneWriter::writeAttributeDefChildren(KelSyntaxElement* attDef) {
    // Attribute name, type, default kind, default value: the order the declaration syntax needs.
    static const int ordered[3] = {XmlTypeAttDefType, XmlTypeAttDefDefaultType, XmlTypeAttDefValue};
    for (int type : ordered) {
        if (KelSyntaxElement* child = findChildElement(attDef, type)) writeProlog(child);
    }
    for (KelSyntaxElement* child = attDef->firstChild(); child; child = child->nextSibling()) {
        const int type = effectiveType(child);
        if (type != ordered[0] && type != ordered[1] && type != ordered[2]) writeProlog(child);
    }
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
    if (copyOriginal(element)) {
        if (debug) KelLog::writeDebugExit(this, "XmlBrokerOrvaneWriter::writeElement");
        return false;
    }
    const KelStringBase& name = element->name();
    outputStartElementBegin(name);
    bool hasContent = false;
    for (KelSyntaxElement* child = element->firstChild(); child; child = child->nextSibling()) {
        if (effectiveType(child) != XmlTypeAttribute) {
            hasContent = true;
            continue;
        }
        writeAttribute(child);
    }
    if (!hasContent) {
        outputEndEmptyElement(name);
        if (debug) KelLog::writeDebugExit(this, "XmlBrokerOrvaneWriter::writeElement");
        return false;
    }
    outputStartElementEnd(name);
    iStack.push_back(Frame{element, element->firstChild(), iPauseDepth});
    return true;
}

void XmlBrokerOrvaneWriter::closeElement(const Frame& frame) {
    // Entity references pair up within one element: one left open inside it ends with it, so a
    // missing end mark cannot swallow the rest of the document.
    setPauseDepth(frame.pauseBase);
    outputEndElement(frame.element->name());
    if (KelLog::isDebugActive()) KelLog::writeDebugExit(this, "XmlBrokerOrvaneWriter::writeElement");
}

void XmlBrokerOrvaneWriter::writeContentChild(KelSyntaxElement* child, int pauseBase) {
    switch (effectiveType(child)) {
    case XmlTypeContent: {
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
        const KelValue& value = child->value();
        if (!value.isNull()) outputCDataSection(value.valueAsCharacter());
        break;
    }
    case XmlTypeAttribute:
        break;   // written in the start tag
    case XmlTypeEntityReferenceStart: {
        // The reference is written; its expansion, which follows as siblings, is not.
        const KelValue& value = child->value();
        if (!value.isNull()) outputEntityReference(value.valueAsCharacter());
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
        openElement(child);
        break;
    }
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
        if (type == XmlTypeComment || type == XmlTypeDocTypeComment) {
            outputXmlComment(value.valueAsCharacter());
        } else if (type == XmlTypeProcessingInstruction || type == XmlTypeDocTypePI) {
            outputProcessingInstruction(element->name(), value.valueAsCharacter());
        } else {
            outputCharacters(value.valueAsCharacter(), true);
        }
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

// ---- pending text and the write buffer --------------------------------------------------------

void XmlBrokerOrvaneWriter::flushPending() {
    if (iPendingText.empty()) return;
    const long from = iWriteBuffer->used();
    if (!appendThroughTable(nullptr, 0)) {
        iWriteBuffer->appendMbs(iPendingText, iPendingCodepage, iPendingByteOrder);
        iPendingText.clearAndReserve(iFlushThreshold);
    }
    keepNewLines(from);
}

void XmlBrokerOrvaneWriter::keepNewLines(long from) {
    // In an EBCDIC page LF is 0x25 and never part of another character: every one that text
    // written anew brought becomes the NL the document ends its lines with.
    if (!iNewLineOutput) return;
    unsigned char* bytes = iWriteBuffer->data();
    for (long i = from; i < iWriteBuffer->used(); ++i)
        if (bytes[i] == 0x25) bytes[i] = 0x15;
}

void XmlBrokerOrvaneWriter::pieceRule(const char16_t* text, std::size_t length) {
    if (length == 0) return;
    if (!iPendingText.empty() && iPendingText.length() + length > iFlushThreshold) flushPending();
    if (length > iFlushThreshold) {
        const long from = iWriteBuffer->used();
        if (!appendThroughTable(text, length))
            iWriteBuffer->appendMbs(text, length, iPendingCodepage, iPendingByteOrder);
        keepNewLines(from);
    } else {
        iPendingText.append(text, length);
    }
}

void XmlBrokerOrvaneWriter::emitPiece(const KelStringBase& piece) { emitPiece(piece.data(), piece.length()); }

void XmlBrokerOrvaneWriter::emitPiece(const char16_t* text, std::size_t length) {
    if (length == 0) return;
    settleDocTypeCloseForMarkup();
    pieceRule(text, length);
}

KelStringBase& XmlBrokerOrvaneWriter::newPiece() {
    iPiece.clearAndReserve(64);
    return iPiece;
}

void XmlBrokerOrvaneWriter::emitBuiltPiece() { emitPiece(iPiece); }

void XmlBrokerOrvaneWriter::settleDocTypeCloseForMarkup() {
    const DocTypeClose state = iDocTypeClose;
    iDocTypeClose = DocTypeCloseNone;
    if (state == DocTypeCloseOwed) pieceRule(wcsRightAngle.data(), wcsRightAngle.length());
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
    const unsigned char* from = start;
    bool supplyClose = false;
    if (iDocTypeClose != DocTypeCloseNone) {
        const unsigned char* afterClose = findLeadingClose(start, end, ccsid, bigEndian);
        if (iDocTypeClose == DocTypeCloseOwed) supplyClose = afterClose == nullptr;
        else if (afterClose != nullptr) from = afterClose;
    }

    if (ccsid == iOutputCodepage) {
        iDocTypeClose = DocTypeCloseNone;
        if (supplyClose) pieceRule(wcsRightAngle.data(), wcsRightAngle.length());
        flushPending();
        const bool outputBigEndian = getEndian() != -1;
        if (!isUtf16(ccsid) || bigEndian == outputBigEndian) {
            iWriteBuffer->append(from, end - from);
        } else {
            appendSwapped(from, end);
        }
        iBytesCopied += end - from;
        return true;
    }

    // Into a single-byte page, a long UTF-8 stretch whose every character is in the page's table
    // goes straight into the buffer; any other is decoded and goes the way below.
    if (ccsid == kUtf8Ccsid && copyUtf8ThroughTable(from, end, supplyClose)) {
        iDocTypeClose = DocTypeCloseNone;
        return true;
    }
    decodeStretch(from, end, ccsid, bigEndian, iDecoded);
    const KelSingleByteTable* table = singleByteTable();
    const bool inTable = table != nullptr && table->holds(iDecoded.data(), iDecoded.length());
    if (!inTable && !canEncode(iDecoded.data(), iDecoded.length())) return false;
    iDocTypeClose = DocTypeCloseNone;
    if (supplyClose) pieceRule(wcsRightAngle.data(), wcsRightAngle.length());
    pieceRule(iDecoded.data(), iDecoded.length());
    return true;
}

const KelSingleByteTable* XmlBrokerOrvaneWriter::singleByteTable() {
    if (iSingleByteCcsid != iOutputCodepage) {
        iSingleByte = outputCoversUnicode() ? nullptr : KelSingleByteTable::forCcsid(iOutputCodepage);
        iSingleByteCcsid = iOutputCodepage;
    }
    return iSingleByte;
}

unsigned char* XmlBrokerOrvaneWriter::tableRoom(std::size_t room) {
    if (iWriteBuffer == nullptr || iPendingCodepage != iOutputCodepage || singleByteTable() == nullptr) return nullptr;
    const long used = iWriteBuffer->used();
    // Sizes the buffer cannot hold go the converter's way, which reports them.
    if (used < 0 || room > static_cast<std::size_t>(std::numeric_limits<long>::max() / 2 - used)) return nullptr;
    const long needed = used + static_cast<long>(room) + 1;   // and the buffer's zero byte
    if (iWriteBuffer->capacity() < needed) iWriteBuffer->enlarge(needed);
    if (iWriteBuffer->capacity() < needed || iWriteBuffer->data() == nullptr) return nullptr;
    return iWriteBuffer->data() + used;
}

void XmlBrokerOrvaneWriter::restoreEndOfBuffer() { iWriteBuffer->data()[iWriteBuffer->used()] = 0; }

void XmlBrokerOrvaneWriter::commitTableBytes(std::size_t count) {
    const long used = iWriteBuffer->used() + static_cast<long>(count);
    iWriteBuffer->setUsed(used);
    iWriteBuffer->data()[used] = 0;
}

bool XmlBrokerOrvaneWriter::appendThroughTable(const char16_t* text, std::size_t length) {
    const std::size_t pending = iPendingText.length();
    unsigned char* out = tableRoom(pending + length);
    if (out == nullptr) return false;
    if (!iSingleByte->fromUtf16(iPendingText.data(), pending, out) ||
        !iSingleByte->fromUtf16(text, length, out + pending)) {
        restoreEndOfBuffer();
        return false;
    }
    commitTableBytes(pending + length);
    if (pending != 0) iPendingText.clearAndReserve(iFlushThreshold);
    return true;
}

bool XmlBrokerOrvaneWriter::copyUtf8ThroughTable(const unsigned char* start, const unsigned char* end,
                                                 bool supplyClose) {
    // A stretch of no more bytes than the flush threshold has no more characters either: it joins
    // the pending text, as every short piece does.
    const std::size_t length = static_cast<std::size_t>(end - start);
    if (length <= iFlushThreshold) return false;
    // The stretch is converted behind the room that the pending text and the ">" will take, one
    // byte per unit, so that they can still be flushed first exactly as the piece rule does.
    const std::size_t ahead = iPendingText.length() + (supplyClose ? 1 : 0);
    unsigned char* room = tableRoom(ahead + length);
    if (room == nullptr) return false;
    const long at = iWriteBuffer->used() + static_cast<long>(ahead);
    long count = iSingleByte->fromUtf8(start, length, room + ahead);
    if (count <= static_cast<long>(iFlushThreshold)) {
        // A character without entry, or few enough to be a piece for the pending text.
        restoreEndOfBuffer();
        return false;
    }
    const unsigned char first = iWriteBuffer->data()[at];
    if (supplyClose) pieceRule(wcsRightAngle.data(), wcsRightAngle.length());
    flushPending();   // as the piece rule does before a piece longer than the threshold
    if (iWriteBuffer->used() == at) {
        iWriteBuffer->data()[at] = first;   // the flush's zero byte landed on it
    } else {
        // The flush took other than one byte per unit (a surrogate pair): convert again where
        // the buffer now ends, or as any long piece if the buffer cannot grow.
        unsigned char* again = tableRoom(length);
        if (again == nullptr) {
            decodeStretch(start, end, kUtf8Ccsid, true, iDecoded);
            pieceRule(iDecoded.data(), iDecoded.length());
            return true;
        }
        count = iSingleByte->fromUtf8(start, length, again);
    }
    const long from = iWriteBuffer->used();
    commitTableBytes(static_cast<std::size_t>(count));
    keepNewLines(from);
    return true;
}

void XmlBrokerOrvaneWriter::appendSwapped(const unsigned char* start, const unsigned char* end) {
    unsigned char work[kSwapChunk];
    flushPending();
    while (start < end) {
        const std::size_t count = std::min<std::size_t>(kSwapChunk, static_cast<std::size_t>(end - start));
        for (std::size_t i = 0; i + 1 < count; i += 2) {
            work[i] = start[i + 1];
            work[i + 1] = start[i];
        }
        iWriteBuffer->append(work, static_cast<long>(count));
        start += count;
    }
}

void XmlBrokerOrvaneWriter::decodeStretch(const unsigned char* start, const unsigned char* end, long ccsid,
                                          bool bigEndian, KelStringBase& out) {
    const std::size_t length = static_cast<std::size_t>(end - start);
    if (length == 0) {
        out.clear();
        return;
    }
    if (isUtf16(ccsid)) {
        // The stretch's own byte order counts, whatever the output's.
        const std::size_t units = length / 2;
        char16_t* target = out.resizeForOverwrite(units);
        if (bigEndian) {
            for (std::size_t i = 0; i < units; ++i)
                target[i] = static_cast<char16_t>((start[2 * i] << 8) | start[2 * i + 1]);
        } else {
            for (std::size_t i = 0; i < units; ++i)
                target[i] = static_cast<char16_t>(start[2 * i] | (start[2 * i + 1] << 8));
        }
        return;
    }
    if (ccsid == kUtf8Ccsid && decodeWellFormedUtf8(start, end, out)) return;
    const KelConverter* converter = KelConverter::createConverter(static_cast<int>(ccsid), 0);
    out = converter->toUnicode(start, static_cast<long>(length), false, 0);
    if (converter->hasNewLine() && out.find(char16_t(0x85)) != KelStringBase::npos) {
        // Read as the tree builder read it: NL is a line end.
        char16_t* units = out.mutableData();
        for (std::size_t i = 0; i < out.length(); ++i)
            if (units[i] == 0x85) units[i] = u'\n';
    }
}

// ---- text escaping and code page coverage -----------------------------------------------------

void XmlBrokerOrvaneWriter::outputText(const KelStringBase& text, TextMode mode) {
    const bool covers = outputCoversUnicode();
    if (!covers) prepareAsciiCoverage();
    bool replace = false;
    bool onlyStandard = mode != TextEntityValue;
    bool uncovered = false;
    const char16_t* units = text.data();
    const std::size_t length = text.length();
    for (std::size_t i = 0; i < length; ++i) {
        const char16_t u = units[i];
        if (replacementFor(u, mode) != nullptr) {
            replace = true;
            if (!isStandardEntityCharacter(u)) onlyStandard = false;
        } else if (needsNumericReference(u)) {
            replace = true;
            onlyStandard = false;
        }
        if (!covers && !(u < 0x80 && iAsciiCoverage[u])) uncovered = true;
    }
    if (uncovered) uncovered = !canEncode(units, length);
    if (!replace && !uncovered) {
        emitPiece(text);
        return;
    }
    // Escaped text goes into the pending text straight away, whatever its length.
    settleDocTypeCloseForMarkup();
    if (!uncovered && onlyStandard) {
        XmlUtils::ReplaceSpecialChars(text, iPendingText);
        return;
    }
    appendEncoded(text, mode, uncovered);
}

void XmlBrokerOrvaneWriter::appendEncoded(const KelStringBase& text, TextMode mode, bool checkCoverage) {
    const char16_t* units = text.data();
    const std::size_t length = text.length();
    std::size_t plainFrom = 0;
    auto flushPlain = [&](std::size_t upTo) {
        if (upTo > plainFrom) iPendingText.append(units + plainFrom, upTo - plainFrom);
    };
    std::size_t i = 0;
    while (i < length) {
        const char16_t u = units[i];
        if (const char* replacement = replacementFor(u, mode)) {
            flushPlain(i);
            appendAscii(iPendingText, replacement);
            plainFrom = ++i;
            continue;
        }
        if (needsNumericReference(u)) {
            flushPlain(i);
            appendCharacterReference(u);
            plainFrom = ++i;
            continue;
        }
        if (!checkCoverage || (u < 0x80 && iAsciiCoverage[u])) {
            ++i;
            continue;
        }
        // One character: a surrogate pair or a single unit.
        const bool pair = isHighSurrogate(u) && i + 1 < length && isLowSurrogate(units[i + 1]);
        const std::size_t count = pair ? 2 : 1;
        const bool loneSurrogate = !pair && (isHighSurrogate(u) || isLowSurrogate(u));
        if (loneSurrogate || encodesAlone(units + i, count)) {
            // A lone surrogate has no character reference; the conversion reports it.
            i += count;
            continue;
        }
        flushPlain(i);
        const unsigned long codePoint =
            pair ? 0x10000ul + ((static_cast<unsigned long>(u) - 0xD800ul) << 10) + (units[i + 1] - 0xDC00ul) : u;
        appendCharacterReference(codePoint);
        i += count;
        plainFrom = i;
    }
    flushPlain(length);
}

void XmlBrokerOrvaneWriter::appendCharacterReference(unsigned long codePoint) {
    static const char digits[] = "0123456789ABCDEF";
    char text[16];
    char* p = text + sizeof text;
    *--p = '\0';
    *--p = ';';
    do {
        *--p = digits[codePoint & 0xF];
        codePoint >>= 4;
    } while (codePoint != 0);
    *--p = 'x';
    *--p = '#';
    *--p = '&';
    appendAscii(iPendingText, p);
}

bool XmlBrokerOrvaneWriter::outputCoversUnicode() const noexcept {
    return isUtf16(iOutputCodepage) || iOutputCodepage == kUtf8Ccsid;
}

void XmlBrokerOrvaneWriter::prepareAsciiCoverage() {
    if (iAsciiCoverageCcsid == iOutputCodepage) return;
    const KelConverter* converter = KelConverter::setCodepage(iOutputCodepage, 0);
    iProbe.resize(std::max<std::size_t>(converter->maxBytesFor(2), 16));
    iAsciiCoverage.reset();
    for (char16_t u = 0; u < 0x80; ++u) {
        try {
            converter->convertFromUnicode(&u, 1, iProbe.data(), iProbe.size(), iPendingByteOrder);
            iAsciiCoverage.set(u);
        } catch (const KelException& e) {
            if (!isUnmappable(e)) throw;
        }
    }
    iAsciiCoverageCcsid = iOutputCodepage;
}

bool XmlBrokerOrvaneWriter::canEncode(const char16_t* text, std::size_t length) {
    if (outputCoversUnicode()) return true;
    prepareAsciiCoverage();
    bool ascii = true;
    for (std::size_t i = 0; i < length && ascii; ++i) ascii = text[i] < 0x80 && iAsciiCoverage[text[i]];
    if (ascii) return true;
    prepareUnitCoverage();
    // A text whose every unit converts alone converts as a whole (the mapping is per character),
    // so the remembered answers per unit spare the probe conversion of the whole text.
    bool eachAlone = true;
    for (std::size_t i = 0; i < length && eachAlone; ++i) {
        const char16_t u = text[i];
        if (iUnitEncodes[u / 64] & (std::uint64_t(1) << (u % 64))) continue;
        eachAlone = !isHighSurrogate(u) && !isLowSurrogate(u) && unitEncodes(u);
    }
    if (eachAlone) return true;
    const KelConverter* converter = KelConverter::setCodepage(iOutputCodepage, 0);
    iProbe.resize(std::max<std::size_t>(converter->maxBytesFor(length), 16));
    try {
        converter->convertFromUnicode(text, length, iProbe.data(), iProbe.size(), iPendingByteOrder);
    } catch (const KelException& e) {
        if (!isUnmappable(e)) throw;
        return false;
    }
    // The conversion passes over characters that are invisible by nature without a word, even
    // where the page cannot hold them: those are checked one by one.
    for (std::size_t i = 0; i < length;) {
        const bool pair = isHighSurrogate(text[i]) && i + 1 < length && isLowSurrogate(text[i + 1]);
        const std::size_t count = pair ? 2 : 1;
        if (isDefaultIgnorable(text + i, count) && !encodesAlone(text + i, count)) return false;
        i += count;
    }
    return true;
}

bool XmlBrokerOrvaneWriter::encodesAlone(const char16_t* text, std::size_t length) {
    if (outputCoversUnicode()) return true;
    if (length == 1 && !isHighSurrogate(text[0]) && !isLowSurrogate(text[0])) return unitEncodes(text[0]);
    return probeAlone(text, length);
}

void XmlBrokerOrvaneWriter::prepareUnitCoverage() {
    if (iUnitCoverageCcsid == iOutputCodepage) return;
    iUnitProbed.assign(0x10000 / 64, 0);
    iUnitEncodes.assign(0x10000 / 64, 0);
    iUnitCoverageCcsid = iOutputCodepage;
}

bool XmlBrokerOrvaneWriter::unitEncodes(char16_t unit) {
    prepareUnitCoverage();
    const std::size_t word = unit / 64;
    const std::uint64_t bit = std::uint64_t(1) << (unit % 64);
    if (!(iUnitProbed[word] & bit)) {
        if (probeAlone(&unit, 1)) iUnitEncodes[word] |= bit;
        iUnitProbed[word] |= bit;
    }
    return (iUnitEncodes[word] & bit) != 0;
}

bool XmlBrokerOrvaneWriter::probeAlone(const char16_t* text, std::size_t length) {
    const KelConverter* converter = KelConverter::setCodepage(iOutputCodepage, 0);
    iProbe.resize(std::max<std::size_t>(converter->maxBytesFor(length), 16));
    try {
        return converter->convertFromUnicode(text, length, iProbe.data(), iProbe.size(), iPendingByteOrder) > 0;
    } catch (const KelException& e) {
        if (!isUnmappable(e)) throw;
        return false;
    }
}

// ---- document type declaration closing --------------------------------------------------------

void XmlBrokerOrvaneWriter::prepareMarkupBytes(long ccsid) {
    if (iMarkupBytesCcsid == ccsid) return;
    static const char16_t markup[5] = {u' ', u'\t', u'\r', u'\n', u'>'};
    for (int i = 0; i < 5; ++i) iMarkupBytes[i] = markup[i];
    try {
        const KelConverter* converter = KelConverter::setCodepage(static_cast<int>(ccsid), 0);
        unsigned char bytes[32];
        if (converter->maxBytesFor(1) <= sizeof bytes) {
            for (int i = 0; i < 5; ++i) {
                const std::size_t n = converter->convertFromUnicode(&markup[i], 1, bytes, sizeof bytes, 1);
                iMarkupBytes[i] = n == 1 ? bytes[0] : -1;
            }
        }
    } catch (const KelException&) {
        // A page the host cannot convert is read as ASCII here; its bytes can only be copied anyway.
    }
    // NL separates markup as LF does where the tree builder reads it as a line end.
    iMarkupBytes[5] = KelConverter::hasNewLine(static_cast<int>(ccsid)) ? 0x15 : -1;
    iMarkupBytesCcsid = static_cast<int>(ccsid);
}

const unsigned char* XmlBrokerOrvaneWriter::findLeadingClose(const unsigned char* start, const unsigned char* end,
                                                             long ccsid, bool bigEndian) {
    if (isUtf16(ccsid)) {
        for (const unsigned char* p = start; p + 1 < end; p += 2) {
            const unsigned u = bigEndian ? (p[0] << 8) | p[1] : p[0] | (p[1] << 8);
            if (isWhiteSpaceUnit(u)) continue;
            return u == u'>' ? p + 2 : nullptr;
        }
        return nullptr;
    }
    prepareMarkupBytes(ccsid);
    for (const unsigned char* p = start; p < end; ++p) {
        const int b = *p;
        if (b == iMarkupBytes[0] || b == iMarkupBytes[1] || b == iMarkupBytes[2] || b == iMarkupBytes[3] ||
            b == iMarkupBytes[5])
            continue;
        return b == iMarkupBytes[4] ? p + 1 : nullptr;
    }
    return nullptr;
}

bool XmlBrokerOrvaneWriter::endsWithClose(const unsigned char* start, const unsigned char* end, long ccsid,
                                          bool bigEndian) {
    if (isUtf16(ccsid)) {
        for (const unsigned char* p = end; p - start >= 2; p -= 2) {
            const unsigned u = bigEndian ? (p[-2] << 8) | p[-1] : p[-2] | (p[-1] << 8);
            if (isWhiteSpaceUnit(u)) continue;
            return u == u'>';
        }
        return false;
    }
    prepareMarkupBytes(ccsid);
    for (const unsigned char* p = end; p > start; --p) {
        const int b = p[-1];
        if (b == iMarkupBytes[0] || b == iMarkupBytes[1] || b == iMarkupBytes[2] || b == iMarkupBytes[3] ||
            b == iMarkupBytes[5])
            continue;
        return b == iMarkupBytes[4];
    }
    return false;
}

// ---- what may be written as markup -----------------------------------------------------------
// Names and the text of comments and processing instructions are written as they stand, so a
// value a user set could make the output ill-formed; such output is refused, never written.

namespace {
bool isNameStartChar(char32_t c) {
    if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
    return (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
           (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) ||
           (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
           (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

bool isNameChar(char32_t c) {
    if (c < 0x80) return isNameStartChar(c) || c == '-' || c == '.' || (c >= '0' && c <= '9');
    return isNameStartChar(c) || c == 0xB7 || (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

// Whether `name` is an XML Name: a name start character, then name characters.
bool isXmlName(const KelStringBase& name) {
    const std::size_t n = name.length();
    if (n == 0) return false;
    for (std::size_t i = 0; i < n; ++i) {
        char32_t c = name[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (name[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            return false; // half a pair stands for no character
        }
        if (i == 0 ? !isNameStartChar(c) : !isNameChar(c)) return false;
    }
    return true;
}

bool isReservedTarget(const KelStringBase& target) {
    return target.length() == 3 && (target[0] | 0x20) == u'x' && (target[1] | 0x20) == u'm' &&
           (target[2] | 0x20) == u'l';
}
} // namespace

void XmlBrokerOrvaneWriter::checkName(const KelStringBase& name, const char* function) {
    if (!isXmlName(name))
        kelThrow<KelParserException>(this, KEL_HERE, function, KelMsg::E_XmlP_InvalidElementNameFound, name);
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
    if (escape) outputText(text, TextContent);
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
        outputText(value.characterValue(), TextAttribute);
    } else {
        outputText(value.valueAsCharacter(), TextAttribute);
    }
    emitPiece(quote);
}

void XmlBrokerOrvaneWriter::writeAttribute(KelSyntaxElement* attribute) {
    XmlKelSyntaxElement* xml = isXmlSyntaxElement(attribute) ? asXmlElement(attribute) : nullptr;
    const KelStringBase& quote = (xml != nullptr && xml->isDoubleQuotedAttribute()) ? wcsDoubleQuote : wcsSingleQuote;
    const KelValue& value = attribute->value();
    if (value.isNull()) return;
    if (!paused()) {
        // A start tag with a name twice is no XML: most tags have a few attributes, so a list
        // does until a tag has many.
        const KelStringBase& name = attribute->name();
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
    // An unchanged value that held a reference to an undeclared entity keeps its source text.
    if (xml != nullptr && xml->hasSpan())
        outputAttributeSource(attribute->name(), *xml, value, quote);
    else
        outputAttribute(attribute->name(), value, quote);
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
        outputText(value.isCharacter() ? value.characterValue() : value.valueAsCharacter(), TextAttribute);
    emitPiece(quote);
}

void XmlBrokerOrvaneWriter::outputCDataSection(const KelStringBase& text) {
    if (paused()) return;
    if (text.find(wcsRightSquareSquare) == KelStringBase::npos && text.find(u'\r') == KelStringBase::npos) {
        XmlOrvaneWriter::outputCDataSection(newPiece(), text);
        emitBuiltPiece();
        return;
    }
    // "]]>" cannot stand inside a section: end the section between "]]" and ">" and start a new
    // one. Nor can a carriage return, which every reader turns into a line feed: it goes between
    // two sections as a reference. So the text survives whole.
    static const KelStringBase restart = KelStringBase::fromAscii("]]><![CDATA[");
    static const KelStringBase carriageReturn = KelStringBase::fromAscii("]]>&#13;<![CDATA[");
    KelStringBase split;
    std::size_t from = 0;
    const std::size_t length = text.length();
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] == u'\r') {
            split.append(text.data() + from, i - from);
            split.append(carriageReturn);
            from = i + 1;
        } else if (text[i] == u']' && i + 2 < length && text[i + 1] == u']' && text[i + 2] == u'>') {
            split.append(text.data() + from, i + 2 - from);
            split.append(restart);
            from = i + 2;
            ++i;
        }
    }
    split.append(text.data() + from, length - from);
    XmlOrvaneWriter::outputCDataSection(newPiece(), split);
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
    if (isReservedTarget(target))
        kelThrow<KelParserException>(this, KEL_HERE, "XmlBrokerOrvaneWriter::outputProcessingInstruction",
                                     KelMsg::E_XmlP_InvalidElementNameFound, target);
    checkName(target, "XmlBrokerOrvaneWriter::outputProcessingInstruction");
    if (data.find(KelStringBase(u"?>")) != KelStringBase::npos)
        kelThrow<KelParserException>(this, KEL_HERE, "XmlBrokerOrvaneWriter::outputProcessingInstruction",
                                     KelMsg::E_XmlP_validateTree, data);
    XmlOrvaneWriter::outputProcessingInstruction(newPiece(), target, data, false);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputXmlComment(const KelStringBase& text) {
    if (paused()) return;
    // "--" may not stand in a comment, nor "-" at its end, where it would make "--->".
    if (text.find(KelStringBase(u"--")) != KelStringBase::npos || (!text.empty() && text[text.length() - 1] == u'-'))
        kelThrow<KelParserException>(this, KEL_HERE, "XmlBrokerOrvaneWriter::outputXmlComment",
                                     KelMsg::E_XmlP_validateTree, text);
    XmlOrvaneWriter::outputXmlComment(newPiece(), text, false);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputEntityReference(const KelStringBase& name) {
    if (paused()) return;
    checkName(name, "XmlBrokerOrvaneWriter::outputEntityReference");
    XmlOrvaneWriter::outputEntityReference(newPiece(), name, true);
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

void XmlBrokerOrvaneWriter::outputXmlVersion(const KelStringBase& text) {
    if (paused()) return;
    XmlOrvaneWriter::outputXmlVersion(newPiece(), text, true);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputXmlEncoding(const KelStringBase& text) {
    if (paused()) return;
    XmlOrvaneWriter::outputXmlEncoding(newPiece(), text, true);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputXmlStandAlone(const KelStringBase& text) {
    if (paused()) return;
    XmlOrvaneWriter::outputXmlStandAlone(newPiece(), text, true);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputDocTypeBegin(const KelStringBase& name, bool escape) {
    if (paused()) return;
    XmlOrvaneWriter::outputDocTypeBegin(newPiece(), name, escape);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::closeDocTypeAfterSubset() {
    // A copied internal subset brought the declaration's '>' (and the blanks before it) along.
    if (iSubsetCarriedClose) {
        iSubsetCarriedClose = false;
        iDocTypeClose = DocTypeCloseWritten;
        return;
    }
    outputDocTypeEnd();
}

void XmlBrokerOrvaneWriter::outputDocTypeEnd() {
    if (paused()) return;
    XmlOrvaneWriter::outputDocTypeEnd(newPiece());
    emitBuiltPiece();
    iDocTypeClose = DocTypeCloseWritten;
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
    if (containsUnit(text, u'"')) {
        emitPiece(wcsPublic);
        emitPiece(wcsSingleQuote);
        emitPiece(text);
        emitPiece(wcsSingleQuote);
        return;
    }
    XmlOrvaneWriter::outputPublicId(newPiece(), text, false);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputSystemId(const KelStringBase& text) {
    if (paused()) return;
    if (containsUnit(text, u'"')) {
        emitPiece(wcsSystemSpace);
        emitPiece(wcsSingleQuote);
        emitPiece(text);
        emitPiece(wcsSingleQuote);
        return;
    }
    XmlOrvaneWriter::outputSystemId(newPiece(), text, false);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputSystemLiteral(const KelStringBase& text) {
    if (paused()) return;
    const KelStringBase& quote = containsUnit(text, u'"') ? wcsSingleQuote : wcsDoubleQuote;
    emitPiece(wcsSpace);
    emitPiece(quote);
    emitPiece(text);
    emitPiece(quote);
}

void XmlBrokerOrvaneWriter::outputNotationReference(const KelStringBase& name) {
    if (paused()) return;
    XmlOrvaneWriter::outputNotationReference(newPiece(), name, true);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputEntityDeclarationBegin(const KelStringBase& name) {
    if (paused()) return;
    XmlOrvaneWriter::outputEntityDeclarationBegin(newPiece(), name, true);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputParameterEntityDeclarationBegin(const KelStringBase& name) {
    if (paused()) return;
    XmlOrvaneWriter::outputParameterEntityDeclarationBegin(newPiece(), name, true);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputNotationDeclarationBegin(const KelStringBase& name) {
    if (paused()) return;
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
    XmlOrvaneWriter::outputElementDef(newPiece(), name, model, escape);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputAttListBegin(const KelStringBase& name, bool escape) {
    if (paused()) return;
    XmlOrvaneWriter::outputAttListBegin(newPiece(), name, escape);
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputAttDef(const KelStringBase& name, bool escape, bool leadingSpace) {
    if (paused()) return;
    XmlOrvaneWriter::outputAttDef(newPiece(), name, escape);
    if (leadingSpace) emitBuiltPiece();
    else if (!iPiece.empty()) emitPiece(iPiece.data() + 1, iPiece.length() - 1);
}

void XmlBrokerOrvaneWriter::outputAttListEnd() {
    if (paused()) return;
    XmlOrvaneWriter::outputAttListEnd(newPiece());
    emitBuiltPiece();
}

void XmlBrokerOrvaneWriter::outputAttributeDefDefaultType(KelStringBase text) {
    if (paused()) return;
    XmlOrvaneWriter::outputAttributeDefDefaultType(newPiece(), text);
    emitBuiltPiece();
}

// The replacement text of an entity, quoted so that reading the declaration back gives the same
// replacement text.
void XmlBrokerOrvaneWriter::outputEntityValue(const KelStringBase& text) {
    if (paused()) return;
    emitPiece(wcsSpaceDblQuote);
    outputText(text, TextEntityValue);
    emitPiece(wcsDoubleQuote);
}

// A default value is an attribute value: escaped as one, so that it reads back unchanged.
void XmlBrokerOrvaneWriter::outputAttDefValue(const KelStringBase& text) {
    if (paused()) return;
    emitPiece(wcsSpaceDblQuote);
    outputText(text, TextAttribute);
    emitPiece(wcsDoubleQuote);
}

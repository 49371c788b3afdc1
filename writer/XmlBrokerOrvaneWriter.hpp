// XmlBrokerOrvaneWriter: writes an XML-domain message tree back into the host's write buffer.
// Elements that still know their original bytes are copied from them (converted only where the
// output code page or byte order differs); everything else is written as markup, gathered as
// UTF-16 in the pending text and converted into the buffer in batches.
// Ownership: owned by its XmlKelParser; owns its pending text and work areas only, never the
// write buffer, the tree or the bytes that element spans point into.
// Thread rules: one writeBuffer call at a time, on the thread that owns the parser's tree.
#pragma once

#include "common/XmlOrvaneWriter.hpp"
#include "host/KelOwnedLogSource.hpp"
#include "host/KelStringBase.hpp"

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

class KelSingleByteTable;
class KelSyntaxElement;
class KelValue;
class KelWriteBuffer;
class XmlKelParser;
class XmlKelSyntaxElement;
class XmlFrontierCopier;

class XmlBrokerOrvaneWriter : public XmlOrvaneWriter, public KelOwnedLogSource {
public:
    // Largest piece (in UTF-16 code units) that is still gathered in the pending text.
    static constexpr unsigned kFlushThreshold = 1024;
    // Declarations nest only a few levels in any document; a hand-built tree nested deeper than
    // this is refused instead of being followed down the stack.
    static constexpr int kMaxDeclarationDepth = 256;

    XmlBrokerOrvaneWriter(XmlKelParser* owner, bool spanReuse);
    XmlBrokerOrvaneWriter(const XmlBrokerOrvaneWriter& other);
    XmlBrokerOrvaneWriter& operator=(const XmlBrokerOrvaneWriter& other);
    virtual ~XmlBrokerOrvaneWriter();

    // Writes the children of `root` into `buffer` in `ccsid`, with the byte order (and, for
    // UTF-16, the byte-order mark) that `encoding` gives; returns the bytes `buffer` now holds.
    int writeBuffer(KelWriteBuffer* buffer, KelSyntaxElement* root, long ccsid, long encoding);

    // What the last writeBuffer added to its buffer: bytes copied unchanged from element spans,
    // and every other byte (markup, converted text, byte-order mark).
    long bytesCopiedFromSpans() const noexcept { return iBytesCopied; }
    long bytesWrittenAsMarkup() const noexcept { return iBytesWritten > iBytesCopied ? iBytesWritten - iBytesCopied : 0; }
    // The next writeBuffer stops at the scan frontier and copies the rest, as `frontier`
    // (prepared for that write) says, falling back to the whole walk when it cannot.
    void useFrontier(XmlFrontierCopier* frontier) noexcept { iFrontier = frontier; }

private:
    friend class XmlFrontierCopier;   // writes the built part with the walk's own operations

    // What is known about the ">" that closes a document type declaration. A copied declaration
    // without an internal subset may end before its ">", which the parse then gave to the item
    // that follows it.
    enum DocTypeClose {
        DocTypeCloseNone,    // nothing pending
        DocTypeCloseOwed,    // copied without its ">": the next output must supply one
        DocTypeCloseWritten  // ">" written: a ">" at the head of the next copied item is left out
    };
    // How text is escaped on its way into the pending text.
    enum TextMode { TextContent, TextAttribute, TextEntityValue };

    // One open element of the explicit stack that writeElement walks instead of recursing.
    struct Frame {
        KelSyntaxElement* element;
        KelSyntaxElement* next;  // next child to write, null when all are written
        int pauseBase;           // pause depth when the element was opened
    };

    // ---- Tree walking.
    void writeProlog(KelSyntaxElement* element);
    void writePrologItem(KelSyntaxElement* element, int type);
    // encodingName, when given, is written in place of the declaration's own encoding.
    void writeXmlDeclaration(KelSyntaxElement* element, const KelStringBase* encodingName = nullptr);
    // The name the declaration must give instead of its own (or in addition, when it names
    // none), because it does not name the output page; empty when it stays as it is.
    KelStringBase declarationRename(KelSyntaxElement* element);
    // Copies the declaration's own text with `name` as its encoding; false when it has no
    // reusable text.
    bool copyDeclarationRenamed(KelSyntaxElement* element, const KelStringBase& name);
    void writeEntityDeclChildren(KelSyntaxElement* declaration);
    void writeAttributeDefChildren(KelSyntaxElement* attDef);
    void writeElement(KelSyntaxElement* element);
    bool openElement(KelSyntaxElement* element);
    void closeElement(const Frame& frame);
    void writeContentChild(KelSyntaxElement* child, int pauseBase);
    void writeMisc(KelSyntaxElement* element);

    // ---- Helpers.
    bool isXmlSyntaxElement(KelSyntaxElement* element);
    XmlKelSyntaxElement* asXmlElement(KelSyntaxElement* element);
    int effectiveType(KelSyntaxElement* element);
    KelSyntaxElement* findChildElement(KelSyntaxElement* parent, int type);
    void ensureComplete(KelSyntaxElement* element);
    // The reuse test and the copy: true when the element's original bytes were written.
    bool copyOriginal(KelSyntaxElement* element);
    void setOutputCodepage(long ccsid);
    void setOutputEncoding(long encoding);
    void outputStartDoc();
    void outputEndDoc();
    void clearBuffer();

    // ---- Pausing (nests: every entity reference start pauses, its end resumes).
    bool paused() const noexcept { return iPauseDepth > 0; }
    void pauseOutput();
    void resumeOutput(int floor);
    void setPauseDepth(int depth);

    // ---- Pending text and the write buffer.
    void flushPending();
    // Bytes converted into the write buffer from `from` on: LF becomes NL where the document's
    // lines end in NL.
    void keepNewLines(long from);
    bool endsLinesWithNewLine(KelSyntaxElement* root, long ccsid);
    void pieceRule(const char16_t* text, std::size_t length);
    void emitPiece(const KelStringBase& piece);
    void emitPiece(const char16_t* text, std::size_t length);
    void emitAscii(const char* text);
    // Pieces built by a primitive go through iPiece: clear it, fill it, then emitBuiltPiece.
    KelStringBase& newPiece();
    void emitBuiltPiece();
    void settleDocTypeCloseForMarkup();
    // Copies a stretch of an original bitstream. False (nothing written) when the stretch must
    // be converted and the output code page cannot represent it: the caller writes markup.
    bool outputPieceOfOriginalBuffer(const unsigned char* start, const unsigned char* end, long ccsid,
                                     bool bigEndian);
    void appendSwapped(const unsigned char* start, const unsigned char* end);
    void decodeStretch(const unsigned char* start, const unsigned char* end, long ccsid, bool bigEndian,
                       KelStringBase& out);

    // ---- Single-byte output pages: text whose every character has an entry in the page's table
    // goes into the write buffer without the converter, at the moments the piece rule gives; any
    // other text takes the converter's way, as before.
    const KelSingleByteTable* singleByteTable();
    // Room for `room` bytes at the end of the write buffer (and its zero byte after them); null
    // when the output page has no table or the buffer cannot grow so far.
    unsigned char* tableRoom(std::size_t room);
    // Puts back the buffer's zero byte after its end, over bytes written there and given up.
    void restoreEndOfBuffer();
    // Makes `count` bytes written at the end of the buffer its own.
    void commitTableBytes(std::size_t count);
    // The pending text, then `text`, through the table; false, with nothing written, when the
    // table does not hold them all.
    bool appendThroughTable(const char16_t* text, std::size_t length);
    // A UTF-8 stretch longer than the flush threshold, decoded and looked up in one pass, after a
    // ">" when `supplyClose`; false, with nothing written, when the table does not hold it or it
    // is short enough for the pending text.
    bool copyUtf8ThroughTable(const unsigned char* start, const unsigned char* end, bool supplyClose);

    // ---- Text escaping and code page coverage.
    void outputText(const KelStringBase& text, TextMode mode);
    void appendEncoded(const KelStringBase& text, TextMode mode, bool checkCoverage);
    void appendCharacterReference(unsigned long codePoint);
    bool outputCoversUnicode() const noexcept;
    void prepareAsciiCoverage();
    // Whether the output code page holds all of `text`; encodesAlone for one character.
    bool canEncode(const char16_t* text, std::size_t length);
    bool encodesAlone(const char16_t* text, std::size_t length);
    // encodesAlone for one unit that is not a surrogate, probed once per unit and output page.
    bool unitEncodes(char16_t unit);
    void prepareUnitCoverage();
    bool probeAlone(const char16_t* text, std::size_t length);

    // ---- Document type declaration closing.
    const unsigned char* findLeadingClose(const unsigned char* start, const unsigned char* end, long ccsid,
                                          bool bigEndian);
    bool endsWithClose(const unsigned char* start, const unsigned char* end, long ccsid, bool bigEndian);
    void prepareMarkupBytes(long ccsid);

    // ---- Output wrappers: each writes one piece of markup, nothing while paused.
    void outputStartElementBegin(const KelStringBase& name);
    void outputStartElementEnd(const KelStringBase& name);
    void outputEndEmptyElement(const KelStringBase& name);
    void outputEndElement(const KelStringBase& name);
    void outputCharacters(const KelStringBase& text, bool escape);
    void outputAttribute(const KelStringBase& name, const KelValue& value, const KelStringBase& quote);
    // An attribute that kept the span of its value's source text (a value holding a reference
    // to an undeclared entity): that text is copied, not the value.
    // One attribute of a start tag written anew: from its source text while it keeps a span,
    // else from its value; nothing for a null value.
    void writeAttribute(KelSyntaxElement* attribute);
    void outputAttributeSource(const KelStringBase& name, const XmlKelSyntaxElement& attribute,
                               const KelValue& value, const KelStringBase& quote);
    void outputCDataSection(const KelStringBase& text);
    void outputIgnorableWhiteSpace(const KelStringBase& text);
    void outputProcessingInstruction(const KelStringBase& target, const KelStringBase& data);
    void outputXmlComment(const KelStringBase& text);
    void outputEntityReference(const KelStringBase& name);
    // Refuses (E_XmlP_InvalidElementNameFound, the name as insert) a name that is not an XML Name.
    void checkName(const KelStringBase& name, const char* function);
    void outputXmlDeclBegin();
    void outputXmlDeclEnd();
    void outputXmlVersion(const KelStringBase& text);
    void outputXmlEncoding(const KelStringBase& text);
    void outputXmlStandAlone(const KelStringBase& text);
    void outputDocTypeBegin(const KelStringBase& name, bool escape);
    void outputDocTypeEnd();
    void closeDocTypeAfterSubset();
    void outputInternalSubsetBegin();
    void outputInternalSubsetEnd();
    void outputPublicId(const KelStringBase& text);
    void outputSystemId(const KelStringBase& text);
    void outputSystemLiteral(const KelStringBase& text);
    void outputNotationReference(const KelStringBase& name);
    void outputEntityDeclarationBegin(const KelStringBase& name);
    void outputParameterEntityDeclarationBegin(const KelStringBase& name);
    void outputNotationDeclarationBegin(const KelStringBase& name);
    void outputEntityDeclarationEnd(const KelStringBase& name);
    void outputNotationDeclarationEnd(const KelStringBase& name);
    void outputElementDef(const KelStringBase& name, const KelStringBase& model, bool escape);
    void outputAttListBegin(const KelStringBase& name, bool escape);
    void outputAttDef(const KelStringBase& name, bool escape, bool leadingSpace);
    void outputAttListEnd();
    void outputAttributeDefDefaultType(KelStringBase text);
    void outputEntityValue(const KelStringBase& text);
    void outputAttDefValue(const KelStringBase& text);

    int iOutputCodepage;
    int iOutputEncoding;
    KelStringBase iPendingText;
    unsigned iFlushThreshold;
    KelWriteBuffer* iWriteBuffer;
    int iPendingCodepage;
    int iPendingByteOrder;
    XmlKelParser* iOwner;
    bool iSpanReuse;

    int iPauseDepth;                 // open entity references whose expansion is being skipped
    int iDeclarationDepth;           // writeProlog nesting
    DocTypeClose iDocTypeClose;
    bool iSubsetCarriedClose;     // the internal subset just copied ended with the declaration's '>'
    std::vector<Frame> iStack;       // kept between calls so deep documents allocate once
    KelStringBase iPiece;            // work string for pieces built by the primitives
    long iBytesCopied = 0;           // last write: bytes copied from spans
    long iBytesWritten = 0;          // last write: all bytes added to the buffer
    KelStringBase iDecoded;          // work string for converted stretches
    std::vector<unsigned char> iProbe; // work area for code page coverage tests

    // Which ASCII characters the output code page can hold (valid for iAsciiCoverageCcsid).
    std::bitset<128> iAsciiCoverage;
    int iAsciiCoverageCcsid;
    // Per BMP unit: probed already / converts alone (valid for iUnitCoverageCcsid).
    std::vector<std::uint64_t> iUnitProbed;
    std::vector<std::uint64_t> iUnitEncodes;
    int iUnitCoverageCcsid = -1;
    // Table of the output page when it is single-byte (shared, read-only; valid for
    // iSingleByteCcsid, -1 before the first look-up).
    const KelSingleByteTable* iSingleByte = nullptr;
    int iSingleByteCcsid = -1;
    // Bytes of white space, ">" and NL in the code page iMarkupBytesCcsid (-1: not one byte there).
    int iMarkupBytes[6];
    int iMarkupBytesCcsid;
    // The last declared encoding name looked up, the page it was compared with and the answer.
    std::string iDeclarationName;
    int iDeclarationNameCcsid = -1;
    bool iNewLineOutput = false;     // this write ends new lines in NL (an EBCDIC document that does)
    KelStringBase iDeclarationRename;
    // The attribute names of the start tag being written, so that a name set twice is refused
    // instead of written (a reader refuses a tag that repeats one).
    std::vector<KelStringBase> iAttributeNames;
    std::unordered_set<KelStringBase, KelStringBaseHash> iAttributeNameSet;
    XmlFrontierCopier* iFrontier = nullptr;   // for the next writeBuffer only
};

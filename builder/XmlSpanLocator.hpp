// XmlSpanLocator: where the tree builder's elements lie in the bitstream. It turns the offsets of
// the scanner's current reader into positions, keeps the previous end from which consecutive
// items' spans tile the bitstream, settles a declaration's closing '>' that the scanner reports
// late, and reads start tags back from the bitstream for their attributes' quotes and value ranges
// (decoding them where the code page needs it).
// Ownership: one per tree builder; points into the host's bytes and into elements, owns neither;
// owns its start-tag decoder. Thread rules: used by its builder's thread, one call at a time.
#pragma once

#include "parser/XmlKelSyntaxElement.hpp"

#include <xercesc/internal/ReaderMgr.hpp>
#include <xercesc/util/RefVectorOf.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XercesDefs.hpp>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

XERCES_CPP_NAMESPACE_BEGIN
class XMLAttr;
class XMLEntityDecl;
XERCES_CPP_NAMESPACE_END

class XmlKelTranscoder;

class XmlSpanLocator {
public:
    // UTF-16 documents: the byte order the scanner reads them in.
    enum class Utf16 { None, LittleEndian, BigEndian };

    // Where the scanner stands. The offset is always taken (quote detection needs it); the span
    // position only while spans are recorded and the scanner reads the bitstream itself: inside
    // an entity's replacement text its offsets are not bitstream offsets.
    struct Position {
        long offset;                 // byte offset in the current reader, -1 when unknown
        long markupStart;            // offset of the previous event in the same reader, else 0
        bool inDocument;             // the reader is the bitstream's own
        const unsigned char* span;   // bitstream position for spans, or null
    };

    explicit XmlSpanLocator(bool spanReuse);
    ~XmlSpanLocator();
    XmlSpanLocator(const XmlSpanLocator&) = delete;
    XmlSpanLocator& operator=(const XmlSpanLocator&) = delete;

    // A new bitstream of `length` bytes in `ccsid`: everything of the last one is forgotten, and
    // the previous end is its first byte (when spans are recorded).
    void start(const unsigned char* data, long length, int ccsid);
    // How the scanner reads it: `bomLength` bytes of a byte-order mark before the document text,
    // and the byte order of UTF-16 text.
    void readAs(long bomLength, Utf16 utf16) noexcept {
        iBomLength = bomLength;
        iUtf16 = utf16;
        settleSpanLimit();
    }
    // The document text begins: positions and the previous end count from after the mark.
    void skipByteOrderMark() noexcept;

    // ---- Positions
    // The position of the scanner's current reader. Settles a pending close first (see below).
    // Taken at every event: the document's own reader with nothing pending is read inline, the
    // rest out of line.
    Position take(const xercesc::ReaderMgr& readers) {
        const XMLSize_t reader = readers.getCurrentReaderNum();
        if (reader != iDocumentReader || iCloseFrom >= 0) return takeOutOfLine(readers);
        Position p{-1, 0, false, nullptr};
        iInEntity = false;
        if (!readOffset(readers, reader, p)) return p;
        p.inDocument = true;
        if (iBomLength + p.offset > iBytesConsumed) iBytesConsumed = iBomLength + p.offset;
        if (p.offset <= iSpanLimit) p.span = iBufferBase + p.offset;
        return p;
    }
    // The position of an event of entity text the scanner expands in place (no reader of its
    // own): as from an entity's reader, in no document text and without a span; the markup read
    // next in the document's reader starts anew.
    Position takeInPlaceEntityText() noexcept {
        iInEntity = true;
        iMarkupOffset = 0;
        iMarkupReader = kNoReader;
        return Position{-1, 0, false, nullptr};
    }
private:
    static constexpr XMLSize_t kNoReader = ~static_cast<XMLSize_t>(0);
    // The current reader's offset into `p`, with the start of the markup read before it in the
    // same reader; false (p untouched) when the scanner gives none that fits.
    bool readOffset(const xercesc::ReaderMgr& readers, XMLSize_t reader, Position& p) {
        XMLFilePos offset = 0;
        try {
            offset = readers.getSrcOffset();
        } catch (const xercesc::XMLException&) {
            return false;
        }
        if (offset > static_cast<XMLFilePos>(LONG_MAX)) return false;
        p.offset = static_cast<long>(offset);
        p.markupStart = reader == iMarkupReader && iMarkupOffset <= p.offset ? iMarkupOffset : 0;
        iMarkupOffset = p.offset;
        iMarkupReader = reader;
        return true;
    }

public:
    bool inEntity() const noexcept { return iInEntity; }   // the last position lies in an entity's text
    long bytesConsumed() const noexcept { return iBytesConsumed; }
    const unsigned char* bitStream() const noexcept { return iBitStream; }   // mark included
    long length() const noexcept { return iBufferLength; }                  // of the whole bitstream
    int codePage() const noexcept { return iCodePage; }
    long bomLength() const noexcept { return iBomLength; }
    Utf16 utf16() const noexcept { return iUtf16; }
    bool readsBigEndian() const noexcept { return iUtf16 == Utf16::BigEndian; }
    // The document's reader stopped short of the end of the bitstream, before bytes that are a
    // character (not NUL padding, not the shift codes of a stateful page): a character cut off.
    bool stoppedInsideCharacter(const xercesc::ReaderMgr& readers) const;
    // The document's reader stopped at NUL padding that something other than NUL follows.
    bool textAfterNulPadding(const xercesc::ReaderMgr& readers) const;

    // ---- Spans: an item's text runs from the previous end to the position of its event.
    const unsigned char* previousEnd() const noexcept { return iPreviousEnd; }
    void setPreviousEnd(const Position& p) noexcept { iPreviousEnd = p.span; }
    // The previous end at byte `offset` of the document text (-1: unknown, no start).
    void setPreviousEndAt(long offset) noexcept {
        iPreviousEnd = iSpanReuse && iBufferBase != nullptr && offset >= 0 && offset <= iBufferLength - iBomLength
                           ? iBufferBase + offset
                           : nullptr;
    }
    // Text without a span of its own (an entity reference, the end of an internal subset): the
    // next item gets no start.
    void forgetPreviousEnd() noexcept { iPreviousEnd = nullptr; }
    // Character data at `p`: the next item starts there only when markup starts there.
    // UTF-8 text that ends at a '<' (the usual case) is settled inline, the rest out of line.
    void afterCharacters(const Position& p, bool cdataSection) {
        if (p.span != nullptr && !cdataSection && iCodePage == 1208 && p.span < iBufferBase + (iBufferLength - iBomLength) &&
            *p.span == '<') {
            iPreviousEnd = p.span;
            return;
        }
        afterCharactersOutOfLine(p, cdataSection);
    }
    // A CDATA section reported at `p`: where it ends (after its "]]>"), which is where the next
    // item starts; null when that is not known.
    const unsigned char* endCData(const Position& p);
    void startAtPreviousEnd(XmlKelSyntaxElement* element) const noexcept { element->setBufferStart(iPreviousEnd); }
    void spanFromPreviousEnd(XmlKelSyntaxElement* element, const Position& p) const noexcept {
        setSpan(element, iPreviousEnd, p.span);
    }
    // A container ends at `p`, from the start it got when it opened. One changed while open keeps
    // its start and its change marks, so that its tags can still be copied.
    static void endAt(XmlKelSyntaxElement* element, const Position& p) noexcept {
        const unsigned char* start = element->tagStart();
        if (start != nullptr && p.span != nullptr && start <= p.span) element->setBufferEnd(p.span);
        else setSpan(element, nullptr, nullptr);
    }
    // A span is recorded only whole: both ends in the bitstream, in order.
    static void setSpan(XmlKelSyntaxElement* element, const unsigned char* start, const unsigned char* end) noexcept {
        const bool whole = start != nullptr && end != nullptr && start <= end;
        element->setBufferStart(whole ? start : nullptr);
        element->setBufferEnd(whole ? end : nullptr);
    }
    // The first byte the tree holds nothing of, when the last item ended there exactly; else null.
    const unsigned char* frontier() const noexcept {
        return iSpanReuse && iBufferBase != nullptr && !closePending() ? iPreviousEnd : nullptr;
    }

    // ---- A declaration's closing '>' that the scanner had not read when it reported the
    // declaration at `p`: the next position finds it; `element` (if any) gets it in its span, and
    // the previous end moves past it when nothing has taken it since.
    void leaveClosePending(XmlKelSyntaxElement* element, const Position& p) noexcept;
    bool closePending() const noexcept { return iCloseFrom >= 0; }
    XmlKelSyntaxElement* pendingCloseElement() const noexcept { return iCloseElement; }

    // ---- Parameter-entity references read back
    // A reference that stands in the document's own text: its name and the offset just after
    // its ';'.
    struct TextReference {
        std::u16string name;
        long after;
    };
    // The references that stand in the document's text between `from` and `to` before anything
    // else: blanks and a declaration's late '>' are passed over, anything else ends the search.
    const std::vector<TextReference>& referencesBetween(long from, long to);

    // ---- Start tags read back
    // Per attribute of the start tag that ends at `p`: 1 when its value stands in double quotes.
    // Attributes the tag does not spell out (defaulted) count as double-quoted. A tag in an
    // entity's replacement text is read from `entity`'s value.
    const std::vector<unsigned char>& attributeQuotes(const xercesc::RefVectorOf<xercesc::XMLAttr>& attributes,
                                                      XMLSize_t count, const Position& p,
                                                      const xercesc::XMLEntityDecl* entity);
    // The same into quotes[0, count), which the caller has room for: a builder keeps one buffer
    // for every tag instead of sizing a list to each.
    void attributeQuotes(const xercesc::RefVectorOf<xercesc::XMLAttr>& attributes, XMLSize_t count, const Position& p,
                         const xercesc::XMLEntityDecl* entity, unsigned char* quotes);
    // Gives each attribute of `element` (its first `count` children) whose value, in the start tag
    // that ends at `p` in the document's own text, holds a reference the span of its source text.
    void keepAttributeSourceText(const xercesc::RefVectorOf<xercesc::XMLAttr>& attributes, XMLSize_t count,
                                 const Position& p, XmlKelSyntaxElement* element);

private:
    Position takeOutOfLine(const xercesc::ReaderMgr& readers);
    void afterCharactersOutOfLine(const Position& p, bool cdataSection);
    // The last offset of the document's text a span may end at: -1 while spans are not recorded.
    void settleSpanLimit() noexcept {
        iSpanLimit = iSpanReuse && iBufferBase != nullptr ? iBufferLength - iBomLength : -1;
    }
    // Where the document's reader stands in the bitstream (after any mark), or 0 when it is not the
    // reader in use.
    long documentReaderOffset(const xercesc::ReaderMgr& readers) const;
    void settlePendingClose(const Position& p);
    bool markupStartsAt(long offset);   // the document's character at `offset` is '<'
    // The offset of the '&' just before `offset` when a reference to a declared (not predefined)
    // entity starts there (UTF-8, UTF-16, single-byte pages); -1 otherwise.
    long entityReferenceBefore(long offset);
    // Decodes bytes [from, to) of the document text into iChars/iCharSizes; false if it cannot.
    bool decodeDocumentBytes(long from, long to);
    XmlKelTranscoder* documentDecoder();
    // The unit of each byte of a single-byte page without state (-1: the converter reads it), or
    // null for other pages.
    const std::int32_t* singleByteUnits();
    // The offset just after the first `unit` in bytes [from, to) of the document text, or -1.
    long offsetAfter(long from, long to, char16_t unit);
    // How the references of one decoded window (iChars) ended: at something else, at a
    // reference cut by the window's end, or at the window's end.
    enum class WindowEnd { Stopped, Cut, Passed };
    // Reads the references of the decoded window into iReferences; `at` moves past each whole
    // thing read. `cut`: the window ends before the text does, so a name at its end may go on.
    WindowEnd referencesInWindow(long& at, bool& closePassed, bool cut);
    // The start tag that ends at `p` lies whole in the document's text.
    bool tagInDocument(const Position& p) const noexcept;

    const bool iSpanReuseWanted;   // the host's choice
    bool iSpanReuse;               // and whether the page lets spans be taken (see start)
    const unsigned char* iBitStream = nullptr;   // the bitstream's first byte, its mark included
    const unsigned char* iBufferBase = nullptr;  // the first byte of the document text, once it begins
    long iBufferLength = 0;
    long iSpanLimit = -1;   // see settleSpanLimit
    int iCodePage = 0;
    long iBomLength = 0;
    Utf16 iUtf16 = Utf16::None;
    const unsigned char* iPreviousEnd = nullptr;
    long iBytesConsumed = 0;
    bool iInEntity = false;
    // Start of the current markup: the offset and reader of the last event, kept whether or not
    // spans are recorded, so that each start tag's own bytes can be read back for its quotes.
    long iMarkupOffset = 0;
    XMLSize_t iMarkupReader;
    XMLSize_t iDocumentReader;   // the number of the document's own reader, once met
    // The pending close: searched from iCloseFrom; iCloseAfter is the previous end when it was left.
    XmlKelSyntaxElement* iCloseElement = nullptr;
    long iCloseFrom = -1;
    const unsigned char* iCloseAfter = nullptr;
    // Start-tag decoding; reused from tag to tag.
    std::unique_ptr<XmlKelTranscoder> iDecoder;
    std::string iDecoderName;
    bool iDecoderChecked = false;   // iDecoder has been matched to the current bitstream
    std::vector<char16_t> iChars;
    std::vector<unsigned char> iCharSizes;
    std::vector<unsigned char> iQuotes;
    std::vector<TextReference> iReferences;
};

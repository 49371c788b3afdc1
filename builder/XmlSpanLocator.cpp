#include "builder/XmlSpanLocator.hpp"

#include "builder/XmlKelTranscoder.hpp"
#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "host/KelSingleByteTable.hpp"

#include <xercesc/framework/XMLAttr.hpp>
#include <xercesc/framework/XMLEntityDecl.hpp>
#include <xercesc/internal/ReaderMgr.hpp>
#include <xercesc/util/XMLException.hpp>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <utility>

using namespace xercesc;

namespace {

const char16_t kEmpty[] = u"";

bool isBlank(char16_t unit) {
    // One test for the four blanks: space, tab, line feed, carriage return.
    constexpr std::uint64_t kBlanks = (1ull << ' ') | (1ull << '\t') | (1ull << '\n') | (1ull << '\r');
    return unit <= u' ' && ((kBlanks >> unit) & 1u) != 0;
}

// Shift-out and shift-in of the stateful EBCDIC pages: at the very end of a document the scanner
// has no character to read them with, and they hold none.
bool onlyShiftCodes(const unsigned char* from, const unsigned char* to) {
    for (; from < to; ++from)
        if (*from != 0x0E && *from != 0x0F) return false;
    return true;
}

bool shiftsAcrossMarkup(int ccsid) {
    if (ccsid <= 0 || ccsid == 1208 || KelConverter::isUtf16Ccsid(ccsid)) return false;
    try {
        return KelConverter::setCodepage(ccsid, 0)->shiftsAcrossMarkup();
    } catch (const KelException&) {
        return false;
    }
}

// UTF-16 text read in place, unit by unit, in either byte order.
struct Utf16Units {
    const unsigned char* bytes;
    bool bigEndian;
    char16_t operator[](std::size_t i) const noexcept {
        const unsigned char* unit = bytes + 2 * i;
        return static_cast<char16_t>(bigEndian ? (unit[0] << 8) | unit[1] : unit[0] | (unit[1] << 8));
    }
};

// Text of a single-byte page read in place through the page's table: one unit per byte. A byte
// the table has no single unit for is never markup (callers check that the tag has none).
struct SingleByteUnits {
    const unsigned char* bytes;
    const std::int32_t* units;
    char16_t operator[](std::size_t i) const noexcept { return static_cast<char16_t>(units[bytes[i]]); }
};

// Whether every byte of bytes[0, length) has a unit of its own in `units` (false without a table).
bool allInTable(const unsigned char* bytes, std::size_t length, const std::int32_t* units) {
    if (units == nullptr) return false;
    std::int32_t any = 0;
    for (std::size_t i = 0; i < length; ++i) any |= units[bytes[i]];
    return any >= 0;
}

// Where `unit` first stands in text[from, length), or length. Bytes (UTF-8 tags read in place)
// are searched with the C library, which reads many at a time.
std::size_t findUnit(const unsigned char* text, std::size_t from, std::size_t length, char16_t unit) {
    if (from >= length) return length;
    const void* hit = std::memchr(text + from, unit, length - from);
    return hit ? static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - text) : length;
}
template <class Text>
std::size_t findUnit(const Text& text, std::size_t from, std::size_t length, char16_t unit) {
    while (from < length && text[from] != unit) ++from;
    return from;
}
// Just after the last `unit` in text[0, length), or 0 when there is none.
std::size_t afterLastUnit(const unsigned char* text, std::size_t length, char16_t unit) {
    const void* hit = length ? memrchr(text, unit, length) : nullptr;
    return hit ? static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - text) + 1 : 0;
}
template <class Text>
std::size_t afterLastUnit(const Text& text, std::size_t length, char16_t unit) {
    std::size_t i = length;
    while (i > 0 && text[i - 1] != unit) --i;
    return i;
}

// Walks the attributes written in the start tag that ends `text` (`length` units) and calls
// found(a, quote, first, end) for each: its value is text[first, end) between `quote`s, and end
// is `length` when the closing quote is missing (the walk stops there). Attributes the tag does
// not spell out are skipped; anything unexpected ends the walk.
template <class Text, class Found>
void readWrittenAttributes(const Text& text, std::size_t length, const RefVectorOf<XMLAttr>& attributes,
                           XMLSize_t count, Found&& found) {
    const auto unitAt = [&text](std::size_t i) { return static_cast<char16_t>(text[i]); };
    // The tag is the text from its '<' on: an attribute value cannot hold a '<', so it is the last.
    std::size_t i = afterLastUnit(text, length, u'<');
    if (i == 0) return;
    while (i < length && !isBlank(unitAt(i)) && unitAt(i) != u'/' && unitAt(i) != u'>') ++i;
    for (XMLSize_t a = 0; a < count; ++a) {
        if (!attributes.elementAt(a)->getSpecified()) continue;
        // The scanner lists the attributes of the tag in the order they are written.
        while (i < length && isBlank(unitAt(i))) ++i;
        while (i < length && unitAt(i) != u'=' && !isBlank(unitAt(i))) ++i;
        while (i < length && isBlank(unitAt(i))) ++i;
        if (i >= length || unitAt(i) != u'=') return;
        ++i;
        while (i < length && isBlank(unitAt(i))) ++i;
        if (i >= length || (unitAt(i) != u'"' && unitAt(i) != u'\'')) return;
        const char16_t quote = unitAt(i++);
        const std::size_t end = findUnit(text, i, length, quote);
        found(a, quote, i, end);
        if (end >= length) return;
        i = end + 1;
    }
}

// The same for a tag read in place as bytes (UTF-8). The scanner has read the tag as well formed
// before it reports it, so an attribute's name and the blanks after it hold no '=': each
// attribute's '=' is the next one after the last value, found many bytes at a time instead of
// walking the name unit by unit.
template <class Found>
void readWrittenAttributes(const unsigned char* text, std::size_t length, const RefVectorOf<XMLAttr>& attributes,
                           XMLSize_t count, Found&& found) {
    std::size_t i = afterLastUnit(text, length, u'<');
    if (i == 0) return;
    for (XMLSize_t a = 0; a < count; ++a) {
        if (!attributes.elementAt(a)->getSpecified()) continue;
        i = findUnit(text, i, length, u'=');
        if (i >= length) return;
        ++i;
        while (i < length && isBlank(text[i])) ++i;
        if (i >= length || (text[i] != '"' && text[i] != '\'')) return;
        const char16_t quote = text[i++];
        const std::size_t end = findUnit(text, i, length, quote);
        found(a, quote, i, end);
        if (end >= length) return;
        i = end + 1;
    }
}

// Sets quotes[a] for each attribute written in the start tag: true for double quotes.
template <class Text>
void readAttributeQuotes(const Text& text, std::size_t length, const RefVectorOf<XMLAttr>& attributes,
                         XMLSize_t count, unsigned char* quotes) {
    readWrittenAttributes(text, length, attributes, count,
                          [&quotes](XMLSize_t a, char16_t quote, std::size_t, std::size_t) { quotes[a] = quote == u'"'; });
}

// For each attribute written in the start tag, the units [first, second) of its value between
// the quotes; {0, 0} for attributes not written there (or not closed).
template <class Text>
void readAttributeValueRanges(const Text& text, std::size_t length, const RefVectorOf<XMLAttr>& attributes,
                              XMLSize_t count, std::vector<std::pair<std::size_t, std::size_t>>& ranges) {
    ranges.assign(count, {0, 0});
    readWrittenAttributes(text, length, attributes, count,
                          [&ranges, length](XMLSize_t a, char16_t, std::size_t first, std::size_t end) {
                              if (end < length) ranges[a] = {first, end};
                          });
}

} // namespace

XmlSpanLocator::XmlSpanLocator(bool spanReuse)
    : iSpanReuseWanted(spanReuse), iSpanReuse(spanReuse), iMarkupReader(kNoReader), iDocumentReader(kNoReader) {}

XmlSpanLocator::~XmlSpanLocator() = default;

void XmlSpanLocator::start(const unsigned char* data, long length, int ccsid) {
    iBitStream = data;
    iBufferBase = data;
    iBufferLength = length;
    iCodePage = ccsid;
    // In a page that shifts by escape sequences the shift opening a text may stand before the
    // markup in front of it, so no stretch can be copied or read on its own: every element is
    // written from the tree.
    iSpanReuse = iSpanReuseWanted && !shiftsAcrossMarkup(ccsid);
    iBomLength = 0;
    iPreviousEnd = iSpanReuse ? data : nullptr;
    iBytesConsumed = 0;
    iInEntity = false;
    iMarkupOffset = 0;
    iMarkupReader = kNoReader;
    iDocumentReader = kNoReader;
    iCloseElement = nullptr;
    iCloseFrom = -1;
    iDecoderChecked = false;
    settleSpanLimit();
}

void XmlSpanLocator::skipByteOrderMark() noexcept {
    if (iBufferBase != nullptr) iBufferBase += iBomLength;
    if (iPreviousEnd != nullptr) iPreviousEnd += iBomLength;
}

// ---------------------------------------------------------------------------------------------
// Positions

XmlSpanLocator::Position XmlSpanLocator::takeOutOfLine(const ReaderMgr& readers) {
    Position p{-1, 0, false, nullptr};
    const XMLSize_t reader = readers.getCurrentReaderNum();
    // Only the document's own reader stands at depth 1, at the bottom of the scanner's readers:
    // once its number is known, comparing with it spares asking the depth at every event.
    bool inDocument = reader == iDocumentReader;
    if (!inDocument && readers.getReaderDepth() == 1) {
        inDocument = true;
        iDocumentReader = reader;
    }
    iInEntity = !inDocument;
    if (!readOffset(readers, reader, p)) return p;
    // Only the document's own reader counts bytes of the bitstream; an entity's replacement
    // text has offsets of its own.
    p.inDocument = inDocument;
    if (p.inDocument) {
        if (iBomLength + p.offset > iBytesConsumed) iBytesConsumed = iBomLength + p.offset;
        if (iSpanReuse && iBufferBase != nullptr && p.offset <= iBufferLength - iBomLength)
            p.span = iBufferBase + p.offset;
        if (iCloseFrom >= 0) settlePendingClose(p);
    }
    return p;
}

long XmlSpanLocator::documentReaderOffset(const ReaderMgr& readers) const {
    if (readers.getReaderDepth() != 1 || iBufferBase == nullptr) return 0;
    try {
        return static_cast<long>(readers.getSrcOffset());
    } catch (const XMLException&) {
        return 0;
    }
}

bool XmlSpanLocator::textAfterNulPadding(const ReaderMgr& readers) const {
    const long read = documentReaderOffset(readers);
    const long length = iBufferLength - iBomLength;
    if (read <= 0 || read >= length || iBufferBase[read] != 0) return false;
    for (long i = read; i < length; ++i)
        if (iBufferBase[i] != 0) return true;
    return false;
}

bool XmlSpanLocator::stoppedInsideCharacter(const ReaderMgr& readers) const {
    const long read = documentReaderOffset(readers);
    const long length = iBufferLength - iBomLength;
    // NUL padding (where the scanner stops reading) is where a message ends, not a character.
    return read > 0 && read < length && iBufferBase[read] != 0 &&
           !onlyShiftCodes(iBufferBase + read, iBufferBase + length);
}

// ---------------------------------------------------------------------------------------------
// Spans

void XmlSpanLocator::afterCharactersOutOfLine(const Position& p, bool cdataSection) {
    // Character data has no span of its own. The scanner reports it when it meets the markup
    // that ends it, so the next item starts right here: when the byte here is that markup's '<',
    // the next item gets a start, and an unchanged element after text is still copied byte for
    // byte. Anywhere else (inside an entity's text, or text going on after a character
    // reference) the next item gets none.
    if (p.span != nullptr && !cdataSection && iCodePage == 1208) {
        // UTF-8, the usual case, read in place: p.span lies in the bitstream, at most at its end.
        if (p.span < iBufferBase + (iBufferLength - iBomLength) && *p.span == '<') {
            iPreviousEnd = p.span;
            return;
        }
        iPreviousEnd = nullptr;
    } else {
        iPreviousEnd = p.span != nullptr && !cdataSection && markupStartsAt(p.offset) ? p.span : nullptr;
    }
    // Text the scanner hands over at a reference to a declared entity ends at its '&': the
    // scanner stands just past that '&'. At a character reference or a predefined entity the
    // text goes on.
    if (iPreviousEnd == nullptr && p.span != nullptr && !cdataSection) {
        const long reference = entityReferenceBefore(p.offset);
        if (reference >= 0) iPreviousEnd = iBufferBase + reference;
    }
}

long XmlSpanLocator::entityReferenceBefore(long offset) {
    const long end = iBufferLength - iBomLength;
    char16_t name[6] = {};   // the first units after the '&', enough to tell a predefined entity
    int known = 0;
    long ampersand = -1;
    if (iCodePage == 1208) {
        if (offset < 1 || offset >= end || iBufferBase[offset - 1] != '&') return -1;
        ampersand = offset - 1;
        for (; known < 6 && offset + known < end; ++known) name[known] = iBufferBase[offset + known];
    } else if (iUtf16 != Utf16::None) {
        if (offset < 2 || offset + 2 > end || (offset % 2) != 0) return -1;
        const Utf16Units before{iBufferBase + offset - 2, iUtf16 == Utf16::BigEndian};
        if (before[0] != u'&') return -1;
        ampersand = offset - 2;
        const Utf16Units after{iBufferBase + offset, iUtf16 == Utf16::BigEndian};
        for (; known < 6 && offset + 2 * (known + 1) <= end; ++known) name[known] = after[known];
    } else if (KelSingleByteTable::forCcsid(iCodePage) != nullptr) {
        // One byte per character, without shift states: the byte before is the '&' alone.
        if (offset < 1 || offset >= end || !decodeDocumentBytes(offset - 1, std::min(end, offset + 6)) ||
            iChars.empty() || iChars[0] != u'&' || iCharSizes[0] != 1)
            return -1;
        ampersand = offset - 1;
        for (; known < 6 && static_cast<std::size_t>(known) + 1 < iChars.size(); ++known) name[known] = iChars[known + 1];
    } else {
        return -1;   // pages with shift states: the text has no end of its own here, as before
    }
    if (known == 0 || name[0] == u'#' || name[0] == u';') return -1;
    // A predefined entity is told by its first unit; only that one's name is compared.
    const char16_t* predefined = nullptr;
    switch (name[0]) {
    case u'a': predefined = known > 1 && name[1] == u'p' ? u"apos;" : u"amp;"; break;
    case u'l': predefined = u"lt;"; break;
    case u'g': predefined = u"gt;"; break;
    case u'q': predefined = u"quot;"; break;
    default: return ampersand;
    }
    int i = 0;
    while (predefined[i] != 0 && i < known && name[i] == predefined[i]) ++i;
    return predefined[i] == 0 ? -1 : ampersand;
}

const unsigned char* XmlSpanLocator::endCData(const Position& p) {
    // The scanner reports a section once it has read its "]]>": the section ends here, and so
    // does the item before the next one, when the bytes before the position are that "]]>".
    const long offset = p.offset;
    bool closed = false;
    if (p.span != nullptr && offset >= 3) {
        if (iCodePage == 1208) {
            closed = iBufferBase[offset - 3] == ']' && iBufferBase[offset - 2] == ']' && iBufferBase[offset - 1] == '>';
        } else if (iUtf16 != Utf16::None) {
            if (offset >= 6) {
                const Utf16Units units{iBufferBase + offset - 6, iUtf16 == Utf16::BigEndian};
                closed = units[0] == u']' && units[1] == u']' && units[2] == u'>';
            }
        } else if (const std::int32_t* units = singleByteUnits(); allInTable(iBufferBase + offset - 3, 3, units)) {
            const SingleByteUnits text{iBufferBase + offset - 3, units};
            closed = text[0] == u']' && text[1] == u']' && text[2] == u'>';
        } else {
            // Shift codes that open and close nothing after the '>' go with it: the section
            // ends after them.
            long last = offset;
            while (last > 3 && onlyShiftCodes(iBufferBase + last - 1, iBufferBase + last)) --last;
            closed = decodeDocumentBytes(last - 3, last) && iChars.size() == 3 && iChars[0] == u']' &&
                     iChars[1] == u']' && iChars[2] == u'>';
        }
    }
    iPreviousEnd = closed ? p.span : nullptr;
    return iPreviousEnd;
}

void XmlSpanLocator::leaveClosePending(XmlKelSyntaxElement* element, const Position& p) noexcept {
    if (p.span == nullptr) return;
    iCloseElement = element;
    iCloseFrom = p.offset;
    iCloseAfter = iPreviousEnd;
}

void XmlSpanLocator::settlePendingClose(const Position& p) {
    // The scanner reported a declaration before reading its closing '>'. That '>' is the
    // declaration's text, not the start of whatever comes next.
    const long from = iCloseFrom;
    XmlKelSyntaxElement* element = iCloseElement;
    iCloseFrom = -1;
    iCloseElement = nullptr;
    if (p.span == nullptr) return;
    const long after = offsetAfter(from, p.offset, u'>');
    if (after < 0) return;
    const unsigned char* end = iBufferBase + after;
    if (element != nullptr && element->getBufferStart() != nullptr) setSpan(element, element->getBufferStart(), end);
    // Items between (those of a parameter entity's text, read from a reader of its own) had no
    // span and cleared the previous end: the text after the '>' holds their reference, which
    // none of them can stand for.
    if (iPreviousEnd == iCloseAfter) iPreviousEnd = end;
}

// ---------------------------------------------------------------------------------------------
// Reading back the document's own characters

XmlKelTranscoder* XmlSpanLocator::documentDecoder() {
    if (iDecoderChecked) return iDecoder.get();
    iDecoderChecked = true;
    std::string name;
    if (iUtf16 != Utf16::None) {
        name = iUtf16 == Utf16::BigEndian ? "UTF-16BE" : "UTF-16LE";
    } else {
        try {
            name = KelConverter::setCodepage(iCodePage, 0)->icuName();
        } catch (const KelException&) {
            name.clear();
        }
    }
    if (iDecoder == nullptr || name != iDecoderName) {
        iDecoder.reset(XmlKelTranscoder::create(kEmpty, name.c_str(), 4096, XMLPlatformUtils::fgMemoryManager,
                                                iUtf16 == Utf16::None ? iCodePage : 0));
        iDecoderName = iDecoder ? name : std::string();
    }
    return iDecoder.get();
}

const std::int32_t* XmlSpanLocator::singleByteUnits() {
    if (iUtf16 != Utf16::None || iCodePage == 1208) return nullptr;
    const XmlKelTranscoder* decoder = documentDecoder();
    return decoder != nullptr ? decoder->byteUnits() : nullptr;
}

bool XmlSpanLocator::decodeDocumentBytes(long from, long to) {
    if (iBufferBase == nullptr || from < 0 || to < from || to > iBufferLength - iBomLength) return false;
    XmlKelTranscoder* decoder = documentDecoder();
    if (decoder == nullptr) return false;
    // The scanner's base: the bytes after any byte-order mark (skipByteOrderMark moved the base).
    return decoder->decode(iBufferBase + from, static_cast<std::size_t>(to - from), iChars, iCharSizes);
}

bool XmlSpanLocator::markupStartsAt(long offset) {
    const long end = iBufferLength - iBomLength;
    if (iBufferBase == nullptr || offset < 0 || offset >= end) return false;
    if (iCodePage == 1208) return iBufferBase[offset] == '<';
    if (iUtf16 != Utf16::None) {
        // Whole units from the base on: a unit that reads '<' is that character.
        return offset + 2 <= end && Utf16Units{iBufferBase + offset, iUtf16 == Utf16::BigEndian}[0] == u'<';
    }
    if (const std::int32_t* units = singleByteUnits(); allInTable(iBufferBase + offset, 1, units))
        return units[iBufferBase[offset]] == u'<';
    // A window of a few bytes holds the first character; a character cut at its end only
    // shortens what is decoded.
    decodeDocumentBytes(offset, offset + 8 < end ? offset + 8 : end);
    return !iChars.empty() && iChars[0] == u'<';
}

long XmlSpanLocator::offsetAfter(long from, long to, char16_t unit) {
    if (!decodeDocumentBytes(from, to)) return -1;
    long offset = from;
    for (std::size_t i = 0; i < iChars.size(); ++i) {
        offset += iCharSizes[i];
        if (iChars[i] == unit) return offset;
    }
    return -1;
}

namespace {
bool endsReferenceName(char16_t c) { return c == u';' || isBlank(c) || c == u'<' || c == u'>' || c == u'%'; }
} // namespace

XmlSpanLocator::WindowEnd XmlSpanLocator::referencesInWindow(long& at, bool& closePassed, bool cut) {
    std::size_t i = 0;
    while (i < iChars.size()) {
        if (!closePassed && iReferences.empty() && iChars[i] == u'>') {   // a declaration's late '>'
            closePassed = true;
            at += iCharSizes[i++];
            continue;
        }
        if (isBlank(iChars[i])) {
            at += iCharSizes[i++];
            continue;
        }
        if (iChars[i] != u'%') return WindowEnd::Stopped;
        std::size_t name = i + 1;
        while (name < iChars.size() && !endsReferenceName(iChars[name])) ++name;
        if (name >= iChars.size() && cut) return WindowEnd::Cut;   // read it again in a longer window
        if (name == i + 1 || name >= iChars.size() || iChars[name] != u';') return WindowEnd::Stopped;
        TextReference reference{std::u16string(iChars.begin() + static_cast<std::ptrdiff_t>(i + 1),
                                               iChars.begin() + static_cast<std::ptrdiff_t>(name)),
                                0};
        for (; i <= name; ++i) at += iCharSizes[i];
        reference.after = at;
        iReferences.push_back(std::move(reference));
    }
    return WindowEnd::Passed;
}

const std::vector<XmlSpanLocator::TextReference>& XmlSpanLocator::referencesBetween(long from, long to) {
    iReferences.clear();
    // Read in windows: what follows the references is a whole declaration or comment, which may
    // be long, and only its first character is needed.
    long window = 256;
    long offset = from;          // the start of the first character not yet passed
    bool closePassed = false;
    while (offset < to) {
        const long end = to - offset > window ? offset + window : to;
        if (!decodeDocumentBytes(offset, end) || iChars.empty()) {
            if (end == to) break;
            window *= 2;   // a character longer than the window, or one cut at its end
            continue;
        }
        long at = offset;
        if (referencesInWindow(at, closePassed, end < to) == WindowEnd::Stopped || end == to) break;
        if (at == offset) window *= 2;   // nothing whole in this window: a longer one
        offset = at;
    }
    return iReferences;
}

bool XmlSpanLocator::tagInDocument(const Position& p) const noexcept {
    return iBufferBase != nullptr && p.markupStart >= 0 && p.markupStart <= p.offset &&
           p.offset <= iBufferLength - iBomLength;
}

// ---------------------------------------------------------------------------------------------
// Start tags read back

const std::vector<unsigned char>& XmlSpanLocator::attributeQuotes(const RefVectorOf<XMLAttr>& attributes,
                                                                  XMLSize_t count, const Position& p,
                                                                  const XMLEntityDecl* entity) {
    iQuotes.resize(count);
    attributeQuotes(attributes, count, p, entity, iQuotes.data());
    return iQuotes;
}

void XmlSpanLocator::attributeQuotes(const RefVectorOf<XMLAttr>& attributes, XMLSize_t count, const Position& p,
                                     const XMLEntityDecl* entity, unsigned char* quotes) {
    // Attributes defaulted from the document type stand in no tag: they get double quotes.
    if (count > 0) std::memset(quotes, 1, count);
    if (p.inDocument) {
        // In UTF-8 every markup character is one byte that never occurs inside another
        // character, and the scanner has already read these bytes as valid: the tag is read in
        // place, without decoding it first.
        if (iCodePage == 1208 && tagInDocument(p)) {
            readAttributeQuotes(iBufferBase + p.markupStart, static_cast<std::size_t>(p.offset - p.markupStart),
                                attributes, count, quotes);
            return;
        }
        // UTF-16 likewise: markup characters are single units, read where they stand.
        if (iUtf16 != Utf16::None && tagInDocument(p) && (p.offset - p.markupStart) % 2 == 0) {
            readAttributeQuotes(Utf16Units{iBufferBase + p.markupStart, iUtf16 == Utf16::BigEndian},
                                static_cast<std::size_t>(p.offset - p.markupStart) / 2, attributes, count, quotes);
            return;
        }
        // Single-byte pages likewise, each byte read through the page's table.
        if (const std::int32_t* units = tagInDocument(p) ? singleByteUnits() : nullptr) {
            const unsigned char* tag = iBufferBase + p.markupStart;
            const std::size_t length = static_cast<std::size_t>(p.offset - p.markupStart);
            if (allInTable(tag, length, units)) {
                readAttributeQuotes(SingleByteUnits{tag, units}, length, attributes, count, quotes);
                return;
            }
        }
        if (decodeDocumentBytes(p.markupStart, p.offset))
            readAttributeQuotes(iChars.data(), iChars.size(), attributes, count, quotes);
        return;
    }
    // A start tag in an entity's replacement text: that text is the entity's value, and the
    // reader counts two bytes per character of it.
    if (entity == nullptr || entity->getValue() == nullptr) return;
    const std::size_t valueLength = entity->getValueLen();
    const std::size_t from = static_cast<std::size_t>(p.markupStart) / sizeof(XMLCh);
    const std::size_t to = std::min(valueLength, static_cast<std::size_t>(p.offset) / sizeof(XMLCh));
    if (from > to) return;
    readAttributeQuotes(entity->getValue() + from, to - from, attributes, count, quotes);
}

void XmlSpanLocator::keepAttributeSourceText(const RefVectorOf<XMLAttr>& attributes, XMLSize_t count,
                                             const Position& p, XmlKelSyntaxElement* element) {
    // A value that held a reference to an undeclared entity lacks that reference's text: each
    // value of the tag that holds a reference keeps the span of its source text, so the writer
    // gives it back as it stood while the attribute is unchanged.
    if (!p.inDocument || !tagInDocument(p)) return;
    const unsigned char* tag = iBufferBase + p.markupStart;
    const std::size_t bytes = static_cast<std::size_t>(p.offset - p.markupStart);
    std::vector<std::pair<std::size_t, std::size_t>> ranges;   // in bytes from `tag`
    std::vector<bool> holdsReference(count, false);
    if (iCodePage == 1208) {
        readAttributeValueRanges(tag, bytes, attributes, count, ranges);
        for (XMLSize_t a = 0; a < count; ++a)
            holdsReference[a] = findUnit(tag, ranges[a].first, ranges[a].second, u'&') < ranges[a].second;
    } else if (iUtf16 != Utf16::None) {
        if (bytes % 2 != 0) return;
        const Utf16Units units{tag, iUtf16 == Utf16::BigEndian};
        readAttributeValueRanges(units, bytes / 2, attributes, count, ranges);
        for (XMLSize_t a = 0; a < count; ++a) {
            holdsReference[a] = findUnit(units, ranges[a].first, ranges[a].second, u'&') < ranges[a].second;
            ranges[a] = {ranges[a].first * 2, ranges[a].second * 2};
        }
    } else if (const std::int32_t* units = allInTable(tag, bytes, singleByteUnits()) ? singleByteUnits() : nullptr) {
        const SingleByteUnits text{tag, units};
        readAttributeValueRanges(text, bytes, attributes, count, ranges);
        for (XMLSize_t a = 0; a < count; ++a)
            holdsReference[a] = findUnit(text, ranges[a].first, ranges[a].second, u'&') < ranges[a].second;
    } else {
        if (!decodeDocumentBytes(p.markupStart, p.offset)) return;
        readAttributeValueRanges(iChars.data(), iChars.size(), attributes, count, ranges);
        std::vector<std::size_t> byteAt(iChars.size() + 1, 0);
        for (std::size_t i = 0; i < iChars.size(); ++i) byteAt[i + 1] = byteAt[i] + iCharSizes[i];
        for (XMLSize_t a = 0; a < count; ++a) {
            holdsReference[a] = findUnit(iChars.data(), ranges[a].first, ranges[a].second, u'&') < ranges[a].second;
            ranges[a] = {byteAt[ranges[a].first], byteAt[ranges[a].second]};
        }
    }
    // The element's children are its attributes, in the scanner's order.
    KelSyntaxElement* child = element->knownFirstChild();
    for (XMLSize_t a = 0; a < count && child != nullptr; ++a, child = child->knownNextSibling()) {
        if (!holdsReference[a] || ranges[a].second > bytes) continue;
        auto* attribute = static_cast<XmlKelSyntaxElement*>(child);
        attribute->setBufferStart(tag + ranges[a].first);
        attribute->setBufferEnd(tag + ranges[a].second);
        attribute->setValueLacksReference();
    }
}

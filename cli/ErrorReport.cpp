#include "cli/ErrorReport.hpp"

#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "host/KelStringBase.hpp"
#include "cli/PageHint.hpp"
#include "cli/TreePrinter.hpp"

#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/utf16.h>

#include <memory>

namespace {
struct Document {
    std::string file;
    KelBuffer bytes;
    int ccsid = -1;
    int encoding = 546;
    bool set = false;
};
thread_local Document tDocument;

// A name's control characters and bytes that are not UTF-8 are shown escaped, as batch shows them:
// a name cannot forge a line of the report or send a terminal escape.
std::string displayName(const std::string& file) { return file == "-" ? "<stdin>" : TreePrinter::printable(file); }

// The deepest cause: the scanner's own report sits below the parser's "errors have occurred".
const KelException& deepest(const KelException& failure) {
    const KelException* e = &failure;
    while (!e->nested().empty()) e = e->nested().front().get();
    return *e;
}

std::string jsonOf(const KelException& e) {
    std::string s = "{\"number\":" + std::to_string(e.catalogueNumber()) + ",\"text\":" + TreePrinter::jsonString(e.text()) +
                    ",\"inserts\":[";
    for (std::size_t i = 0; i < e.inserts().size(); ++i) s += (i ? "," : "") + TreePrinter::jsonString(e.inserts()[i]);
    s += "],\"causes\":[";
    for (std::size_t i = 0; i < e.nested().size(); ++i) s += (i ? "," : "") + jsonOf(*e.nested()[i]);
    return s + "]}";
}

// Width of a UTF-8 character's first byte.
bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }
} // namespace

void ErrorReport::setDocument(const std::string& file, const KelBuffer& bytes, int ccsid, int encoding) {
    tDocument.file = file;
    tDocument.bytes = bytes;
    tDocument.ccsid = ccsid;
    tDocument.encoding = encoding;
    tDocument.set = true;
}

void ErrorReport::clearDocument() { tDocument = Document(); }

std::string ErrorReport::plainText(const KelException& failure) {
    const KelException& cause = deepest(failure);
    std::string text;
    if (cause.catalogueNumber() == 5004 && cause.inserts().size() >= 5) {
        text = cause.inserts()[4];
        if (text == "invalid character 0x0") text = "NUL character (U+0000), which XML does not allow";
    } else if (cause.catalogueNumber() == 5011 && cause.inserts().size() >= 2) {
        text = "the document exceeds the parser's " + cause.inserts()[0] + " limit of " + cause.inserts()[1];
    } else {
        text = cause.text();
        if (!cause.inserts().empty() && cause.inserts().size() <= 2) text += ": " + cause.inserts().back();
    }
    return text;
}

namespace {
// The text of a window of 4096 bytes either side of `offset`, with the byte offset of each unit;
// false when the page cannot be decoded here.
bool decodeAround(const KelBuffer& bytes, int ccsid, int encoding, long offset, std::u16string& text,
                  std::vector<long>& offsets) {
    const unsigned char* data = bytes.data();
    const long length = bytes.length();
    const bool utf16 = KelConverter::isUtf16Ccsid(ccsid);
    bool bigEndian = (encoding & 0x0F) == 1;
    // A byte-order mark is no part of the first line, as it is no part of its columns.
    long mark = 0;
    if (utf16 && length >= 2 && ((data[0] == 0xFE && data[1] == 0xFF) || (data[0] == 0xFF && data[1] == 0xFE))) {
        bigEndian = data[0] == 0xFE;
        mark = 2;
    } else if (ccsid == 1208 && length >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
        mark = 3;
    }
    // A window around the fault is enough for its line; it starts on a character boundary.
    long from = offset - 4096 > mark ? offset - 4096 : mark;
    if (utf16) from -= (from - mark) & 1;
    else if (ccsid == 1208) while (from < offset && isContinuation(data[from])) ++from;
    const long to = offset + 4096 < length ? offset + 4096 : length;
    const std::string name = utf16 ? (bigEndian ? "UTF-16BE" : "UTF-16LE") : KelConverter::icuNameFor(ccsid);
    UErrorCode status = U_ZERO_ERROR;
    UConverter* icu = name.empty() ? nullptr : ucnv_open(name.c_str(), &status);
    if (!icu || U_FAILURE(status)) return false;
    const char* source = reinterpret_cast<const char*>(data + from);
    const char* const end = reinterpret_cast<const char*>(data + to);
    UChar units[1024];
    int32_t unitOffsets[1024];
    for (;;) {
        const char* chunk = source;
        UChar* target = units;
        status = U_ZERO_ERROR;
        ucnv_toUnicode(icu, &target, units + 1024, &source, end, unitOffsets, true, &status);
        for (UChar* u = units; u < target; ++u) {
            text += static_cast<char16_t>(*u);
            offsets.push_back(static_cast<long>(chunk - reinterpret_cast<const char*>(data)) + unitOffsets[u - units]);
        }
        if (status != U_BUFFER_OVERFLOW_ERROR) break;
    }
    ucnv_close(icu);
    return true;
}

// NEL and U+2028 end lines in XML 1.1, and the scanner counts them so there.
bool isLineEnd(char16_t c) { return c == u'\n' || c == u'\r' || c == 0x85 || c == 0x2028; }

// The columns a terminal gives the character at `text[i]`: none for a combining mark or a format
// character, two for a wide (CJK) one; the low half of a surrogate pair was counted with its high half.
int columnsOf(const std::u16string& text, std::size_t i) {
    if (text[i] >= 0xDC00 && text[i] <= 0xDFFF) return 0;
    UChar32 c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
        c = U16_GET_SUPPLEMENTARY(c, text[i + 1]);
    const int8_t type = u_charType(c);
    if (type == U_NON_SPACING_MARK || type == U_ENCLOSING_MARK || type == U_FORMAT_CHAR) return 0;
    const int width = u_getIntPropertyValue(c, UCHAR_EAST_ASIAN_WIDTH);
    return width == U_EA_WIDE || width == U_EA_FULLWIDTH ? 2 : 1;
}

// The line of `text` that holds unit `at`, at most 60 characters either side of it, and a caret
// under that unit as a terminal shows the line (tabs kept, wide characters two columns).
void lineAround(const std::u16string& text, std::size_t at, std::string& line, std::string& caret) {
    std::size_t begin = at, stop = at;
    while (begin > 0 && !isLineEnd(text[begin - 1])) --begin;
    while (stop < text.size() && !isLineEnd(text[stop])) ++stop;
    // A long line is shown around the fault only.
    std::string before = "", after = "";
    if (at - begin > 60) {
        begin = at - 60;
        before = "...";
    }
    if (stop - at > 60) {
        stop = at + 60;
        after = "...";
    }
    std::u16string shown = text.substr(begin, stop - begin);
    for (char16_t& c : shown)
        if ((c < 0x20 && c != u'\t') || (c >= 0x7F && c <= 0x9F)) c = u' ';   // a NUL or control character shows as a space
    line = before + KelStringBase(shown).toUtf8() + after;
    caret = std::string(before.size(), ' ');
    for (std::size_t i = begin; i < at; ++i) {
        if (text[i] == u'\t') caret += '\t';
        else if (text[i] < 0x20 || (text[i] >= 0x7F && text[i] <= 0x9F)) caret += ' ';
        else caret.append(static_cast<std::size_t>(columnsOf(text, i)), ' ');
    }
    caret += '^';
}
} // namespace

bool ErrorReport::sourceLine(const KelBuffer& bytes, int ccsid, int encoding, long offset, std::string& line,
                             std::string& caret) {
    if (bytes.data() == nullptr || offset < 0 || offset > bytes.length() || ccsid < 0) return false;
    std::u16string text;
    std::vector<long> offsets;
    if (!decodeAround(bytes, ccsid, encoding, offset, text, offsets)) return false;
    std::size_t at = text.size();
    for (std::size_t i = 0; i < offsets.size(); ++i)
        if (offsets[i] >= offset) {
            at = i;
            break;
        }
    lineAround(text, at, line, caret);
    return true;
}

std::string ErrorReport::text(const KelException& failure, bool verbose) {
    std::string out;
    const std::string file = tDocument.set ? displayName(tDocument.file) : std::string("quarn");
    const KelParserException* at = KelParserException::positioned(failure);
    if (at) {
        const KelDocumentPosition& p = at->documentPosition();
        out = file + ":" + std::to_string(p.line) + ":" + std::to_string(p.column) + ": " + plainText(failure);
        std::string details;
        if (p.offset >= 0) details = "byte offset " + std::to_string(p.offset);
        if (!at->faultElement().empty()) details += (details.empty() ? "" : ", ") + std::string("element '") + at->faultElement().toUtf8() + "'";
        if (!details.empty()) out += " (" + details + ")";
        out += '\n';
        std::string line, caret;
        if (tDocument.set && sourceLine(tDocument.bytes, tDocument.ccsid, tDocument.encoding, p.offset, line, caret))
            out += "  " + line + "\n  " + caret + "\n";
    } else {
        out = file + ": " + plainText(failure) + "\n";
    }
    const std::string advice = hint(failure);
    if (!advice.empty()) out += "  hint: " + advice + "\n";
    if (verbose) {
        out += failure.what();
        out += '\n';
    }
    return out;
}

std::string ErrorReport::json(const KelException& failure) {
    const KelParserException* at = KelParserException::positioned(failure);
    std::string s = "{\"file\":" + TreePrinter::jsonString(tDocument.set ? tDocument.file : std::string());
    if (at) {
        const KelDocumentPosition& p = at->documentPosition();
        s += ",\"line\":" + std::to_string(p.line) + ",\"column\":" + std::to_string(p.column) +
             ",\"offset\":" + std::to_string(p.offset) + ",\"element\":" + TreePrinter::jsonString(at->faultElement().toUtf8());
    } else {
        s += ",\"line\":null,\"column\":null,\"offset\":null,\"element\":null";
    }
    s += ",\"message\":" + TreePrinter::jsonString(plainText(failure)) + ",";
    const std::string advice = hint(failure);
    if (!advice.empty()) s += "\"hint\":" + TreePrinter::jsonString(advice) + ",";
    const std::string rest = jsonOf(failure);
    return s + rest.substr(1);
}

std::string ErrorReport::hint(const KelException& failure) {
    // A scanner error in a message read as UTF-8 by default may be a page nobody named.
    if (!tDocument.set || deepest(failure).catalogueNumber() != 5004) return std::string();
    const long length = tDocument.bytes.length();
    return PageHint::forBytes(tDocument.bytes.data(), length > 0 ? static_cast<std::size_t>(length) : 0,
                              tDocument.ccsid);
}

void ErrorReport::print(std::FILE* out, const KelException& failure, Format format, bool verbose) {
    const std::string report = format == Format::Json ? json(failure) + "\n" : text(failure, verbose);
    std::fwrite(report.data(), 1, report.size(), out);
    std::fflush(out);
}

#include "bench/DocumentGenerator.hpp"

#include <unicode/ucnv.h>

#include <stdexcept>

namespace {

const char* const kNames[] = {"Jürgen Müller", "Anaïs Dupré", "Li Wei", "Sven Åström",
                              "María González", "Tom O'Brien", "Zoë Adams"};
const char* const kCities[] = {"Paris", "Zürich", "Leeds", "Malmö", "Bilbao", "Cork"};
const char* const kProducts[] = {"Blue widget", "Steel bracket", "Cable set", "Valve", "Sealing ring", "Gauge"};
const char* const kStatus[] = {"open", "held", "shipped", "closed"};

void appendNumber(std::string& out, std::uint32_t n) { out += std::to_string(n); }

} // namespace

std::uint32_t DocumentGenerator::next() {
    // xorshift64*: fast, and the same sequence on every machine.
    iState ^= iState >> 12;
    iState ^= iState << 25;
    iState ^= iState >> 27;
    return static_cast<std::uint32_t>((iState * 0x2545F4914F6CDD1DULL) >> 32);
}

void DocumentGenerator::appendRecord(std::string& out, unsigned index, bool entity) {
    out += "  <order id=\"";
    appendNumber(out, 100000 + index);
    out += "\" status='";
    out += kStatus[below(4)];
    out += "' priority=\"";
    appendNumber(out, below(5));
    out += "\">\n    <customer ref='C-";
    appendNumber(out, below(90000) + 10000);
    out += "'>\n      <name>";
    out += kNames[below(7)];
    out += "</name>\n      <address type=\"billing\" country='";
    out += below(2) ? "FR" : "DE";
    out += "'>";
    appendNumber(out, below(200) + 1);
    out += " Rue de la Paix, ";
    out += kCities[below(6)];
    out += "</address>\n    </customer>\n    <lines count=\"";
    const unsigned lines = 1 + below(3);
    appendNumber(out, lines);
    out += "\">\n";
    for (unsigned l = 0; l < lines; ++l) {
        out += "      <item sku=\"A-";
        appendNumber(out, below(9000) + 1000);
        out += "\" qty='";
        appendNumber(out, below(20) + 1);
        out += "' price=\"";
        appendNumber(out, below(500));
        out += ".";
        appendNumber(out, 10 + below(90));
        out += "\">";
        out += kProducts[below(6)];
        out += below(3) == 0 ? " &amp; fittings" : " &#xB0;C rated";
        out += "</item>\n";
    }
    out += "    </lines>\n";
    if (below(4) == 0) out += "    <!-- priority handling requested -->\n";
    // A declared entity now and then: the scanner's entity handling is costly, and messages use it rarely.
    if (entity && index % 8 == 0) out += "    <supplier>&supplier;</supplier>\n";
    else out += "    <supplier>Acme Trading Ltd.</supplier>\n";
    out += "    <note><![CDATA[Leave at <reception> if absent & call ahead]]></note>\n";
    out += "  </order>\n";
}

std::string DocumentGenerator::utf8Document(std::size_t targetBytes) {
    std::string out;
    out.reserve(targetBytes + 4096);
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE batch [\n"
           "  <!ENTITY supplier \"Acme Trading Ltd.\">\n"
           "]>\n"
           "<!-- generated order batch -->\n"
           "<batch id='B-";
    appendNumber(out, below(1000000));
    out += "' xmlns:x=\"urn:example:orders\">\n";
    const std::string closing = "</batch>\n";
    for (unsigned index = 0; out.size() + closing.size() < targetBytes; ++index) appendRecord(out, index);
    out += closing;
    return out;
}

std::string DocumentGenerator::utf8Message(std::size_t targetBytes) {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<batch id='B-";
    appendNumber(out, below(1000000));
    out += "'>\n";
    const std::string closing = "</batch>\n";
    for (unsigned index = 0; out.size() + closing.size() < targetBytes; ++index) appendRecord(out, index, false);
    out += closing;
    return out;
}

std::string DocumentGenerator::document(std::size_t targetBytes, Encoding encoding) {
    std::string utf8 = utf8Document(encoding == Encoding::Utf16Le ? targetBytes / 2 : targetBytes);
    if (encoding == Encoding::Utf8) return utf8;
    const std::string declared = "encoding=\"UTF-8\"";
    if (encoding == Encoding::Ebcdic37) {
        utf8.replace(utf8.find(declared), declared.size(), "encoding=\"IBM037\"");
        // Accents make a record a few bytes shorter than in UTF-8: the size is that of the UTF-8 text.
        std::string out(utf8.size(), '\0');
        UErrorCode status = U_ZERO_ERROR;
        const int32_t length = ucnv_convert("ibm-37", "UTF-8", &out[0], static_cast<int32_t>(out.size()), utf8.data(),
                                            static_cast<int32_t>(utf8.size()), &status);
        if (U_FAILURE(status)) throw std::runtime_error("cannot convert the document to EBCDIC 37");
        out.resize(static_cast<std::size_t>(length));
        return out;
    }
    utf8.replace(utf8.find(declared), declared.size(), "encoding=\"UTF-16\"");
    return std::string("\xFF\xFE", 2) + utf8ToUtf16Le(utf8);
}

std::string DocumentGenerator::utf8ToUtf16Le(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size() * 2);
    auto put = [&out](std::uint32_t unit) {
        out += static_cast<char>(unit & 0xFF);
        out += static_cast<char>(unit >> 8);
    };
    for (std::size_t i = 0; i < utf8.size();) {
        const unsigned char b = static_cast<unsigned char>(utf8[i]);
        std::uint32_t c;
        std::size_t n;
        if (b < 0x80) { c = b; n = 1; }
        else if ((b & 0xE0) == 0xC0) { c = b & 0x1F; n = 2; }
        else if ((b & 0xF0) == 0xE0) { c = b & 0x0F; n = 3; }
        else if ((b & 0xF8) == 0xF0) { c = b & 0x07; n = 4; }
        else throw std::invalid_argument("invalid UTF-8 lead byte");
        if (i + n > utf8.size()) throw std::invalid_argument("truncated UTF-8 sequence");
        for (std::size_t k = 1; k < n; ++k) {
            const unsigned char t = static_cast<unsigned char>(utf8[i + k]);
            if ((t & 0xC0) != 0x80) throw std::invalid_argument("invalid UTF-8 trail byte");
            c = (c << 6) | (t & 0x3F);
        }
        i += n;
        if (c >= 0x10000) {
            c -= 0x10000;
            put(0xD800 + (c >> 10));
            put(0xDC00 + (c & 0x3FF));
        } else {
            put(c);
        }
    }
    return out;
}

// UTF-8 documents are read without the converter where the bytes are well formed: the characters,
// the bytes behind each one and every rejection must be exactly the converter's, and attribute
// quotes read from the tag's bytes must be those the tag has.
#include "BuilderTestDocument.hpp"

#include "builder/XmlKelTranscoder.hpp"
#include "builder/XmlKelTranscoderRegistry.hpp"

#include <xercesc/util/XMLException.hpp>

#include <unicode/ucnv.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

// What the strict converter makes of `bytes`: the text before the first byte it rejects (or all
// of it) and whether it rejected anything.
std::u16string strictPrefix(const std::string& bytes, bool& rejected, const char* page = "UTF-8") {
    UConverter* icu = KelConverter::openStrict(page);
    std::u16string out(bytes.size() + 4, u'\0');
    UChar* target = reinterpret_cast<UChar*>(&out[0]);
    const char* source = bytes.data();
    UErrorCode status = U_ZERO_ERROR;
    ucnv_toUnicode(icu, &target, target + out.size(), &source, bytes.data() + bytes.size(), nullptr, true, &status);
    rejected = U_FAILURE(status);
    out.resize(static_cast<std::size_t>(target - reinterpret_cast<UChar*>(&out[0])));
    ucnv_close(icu);
    return out;
}

// The transcoder's reading of `bytes` as the scanner drives it: calls until it stops or throws.
std::u16string readAll(const std::string& bytes, bool& threw, std::vector<int>* sizes = nullptr,
                       const char* page = "UTF-8", std::size_t room = 64) {
    XmlKelTranscoderRegistry::ensureReady();
    std::unique_ptr<XmlKelTranscoder> t(XmlKelTranscoder::create(u"test", page, 64));
    std::u16string text;
    threw = false;
    std::size_t done = 0;
    try {
        while (done < bytes.size()) {
            XMLCh out[64];
            unsigned char charSizes[64];
            XMLSize_t eaten = 0;
            const XMLSize_t made = t->transcodeFrom(reinterpret_cast<const XMLByte*>(bytes.data()) + done,
                                                    bytes.size() - done, out, std::min<std::size_t>(room, 64), eaten,
                                                    charSizes);
            if (eaten == 0) break;
            text.append(out, out + made);
            if (sizes) sizes->insert(sizes->end(), charSizes, charSizes + made);
            done += eaten;
        }
    } catch (const xercesc::XMLException&) {
        threw = true;
    }
    return text;
}

} // namespace

TEST(Utf8Reading, EveryMalformedSequenceIsRejectedWhereTheConverterRejectsIt) {
    const char* const samples[] = {
        "ok\xC0\x80",           // overlong two-byte
        "ok\xC1\xBF",           // overlong two-byte
        "ok\xE0\x80\x80",       // overlong three-byte
        "ok\xE0\x9F\xBF",       // overlong three-byte, just below the first valid one
        "ok\xED\xA0\x80",       // high surrogate
        "ok\xED\xBF\xBF",       // low surrogate
        "ok\xF0\x8F\xBF\xBF",   // overlong four-byte
        "ok\xF4\x90\x80\x80",   // above U+10FFFF
        "ok\xF5\x80\x80\x80",   // lead byte that never starts a character
        "ok\xFE",
        "ok\x80z",              // a continuation byte on its own
        "ok\xC3z",              // a lead byte followed by something else
        "ok\xE6\x96z",
        "ok\xF0\x9F\x98z",
    };
    for (const char* sample : samples) {
        bool rejected = false;
        const std::u16string expected = strictPrefix(sample, rejected);
        ASSERT_TRUE(rejected) << sample;
        bool threw = false;
        const std::u16string read = readAll(sample, threw);
        EXPECT_TRUE(threw) << sample;
        EXPECT_EQ(read, expected) << sample;
    }
}

TEST(Utf8Reading, MalformedBytesAfterLongAsciiRunsAtEveryAlignment) {
    // ASCII is read several bytes at a time: a bad byte anywhere in or after such a run, and a
    // room that ends inside it, must change nothing.
    const char* const tails[] = {"\xC0\x80", "\xED\xA0\x80", "\x80", "\xE6\x96", "\xC3\xA9ok"};
    for (std::size_t lead = 0; lead < 20; ++lead) {
        for (const char* tail : tails) {
            const std::string bytes = std::string(lead, 'a') + tail + std::string(9, 'z');
            bool rejected = false;
            const std::u16string expected = strictPrefix(bytes, rejected);
            for (std::size_t room : {3u, 8u, 9u, 64u}) {
                bool threw = false;
                std::vector<int> sizes;
                const std::u16string read = readAll(bytes, threw, &sizes, "UTF-8", room);
                EXPECT_EQ(threw, rejected) << lead << " " << room;
                EXPECT_EQ(read, expected) << lead << " " << room;
                std::size_t total = 0;
                for (int size : sizes) total += static_cast<std::size_t>(size);
                if (!rejected) {
                    EXPECT_EQ(total, bytes.size());
                }
            }
        }
    }
}

TEST(Utf16Reading, BothByteOrdersAgreeWithTheConverterOnEveryShape) {
    // Units as UTF-16 code units; each sample is written in both byte orders, sometimes with an
    // odd byte at the end.
    const std::vector<std::u16string> samples = {
        u"plain text <a b='c'/>",  u"caf\u00e9 \u6587 \uFFFD\uFFFF",
        u"pair \U0001F600 end",    std::u16string(u"lone high ") + char16_t(0xD83D) + u"x",
        std::u16string(u"lone low ") + char16_t(0xDE00) + u"x",
        std::u16string(u"high at the end ") + char16_t(0xD83D),
        std::u16string(u"two highs ") + char16_t(0xD83D) + char16_t(0xD83D) + char16_t(0xDE00),
    };
    for (bool bigEndian : {false, true}) {
        const char* page = bigEndian ? "UTF-16BE" : "UTF-16LE";
        for (const std::u16string& sample : samples) {
            for (bool oddByte : {false, true}) {
                std::string bytes;
                for (char16_t u : sample) {
                    const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
                    bytes += bigEndian ? hi : lo;
                    bytes += bigEndian ? lo : hi;
                }
                if (oddByte) bytes += 'q';
                bool rejected = false;
                const std::u16string expected = strictPrefix(bytes, rejected, page);
                for (std::size_t room : {4u, 5u, 6u, 64u}) {
                    bool threw = false;
                    std::vector<int> sizes;
                    const std::u16string read = readAll(bytes, threw, &sizes, page, room);
                    EXPECT_EQ(read, expected) << page << " " << room;
                    // A byte or a first surrogate left over at the end is no character yet: the
                    // transcoder leaves it for more input, and the scanner reports it cut off.
                    const bool cutOff = oddByte || (sample.back() >= 0xD800 && sample.back() <= 0xDBFF);
                    if (!cutOff) {
                        EXPECT_EQ(threw, rejected) << page << " " << room;
                    }
                    std::size_t total = 0;
                    for (std::size_t i = 0; i < sizes.size(); ++i) {
                        total += static_cast<std::size_t>(sizes[i]);
                        const bool secondOfPair = read[i] >= 0xDC00 && read[i] <= 0xDFFF;
                        EXPECT_EQ(sizes[i], secondOfPair ? 0 : (i + 1 < read.size() && read[i] >= 0xD800 &&
                                                                read[i] <= 0xDBFF ? 4 : 2));
                    }
                    if (!rejected) {
                        EXPECT_EQ(total, bytes.size() - (oddByte ? 1 : 0));
                    }
                }
            }
        }
    }
}

TEST(Utf8Reading, BoundaryCharactersAndTheirBytes) {
    // U+007F, U+0080, U+07FF, U+0800, U+D7FF, U+E000, U+FFFD, U+FFFF, U+10000, U+10FFFF.
    const std::string bytes =
        "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBD\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF";
    bool rejected = true;
    const std::u16string expected = strictPrefix(bytes, rejected);
    ASSERT_FALSE(rejected);
    bool threw = true;
    std::vector<int> sizes;
    EXPECT_EQ(readAll(bytes, threw, &sizes), expected);
    EXPECT_FALSE(threw);
    EXPECT_EQ(sizes, (std::vector<int>{1, 2, 2, 3, 3, 3, 3, 3, 4, 0, 4, 0}));

    // A character of two units never goes half into the last unit of room.
    XmlKelTranscoderRegistry::ensureReady();
    std::unique_ptr<XmlKelTranscoder> t(XmlKelTranscoder::create(u"test", "UTF-8", 64));
    XMLCh out[2];
    unsigned char charSizes[2];
    XMLSize_t eaten = 0;
    const std::string pair = "a\xF0\x9F\x98\x80";
    const XMLSize_t made = t->transcodeFrom(reinterpret_cast<const XMLByte*>(pair.data()), pair.size(), out, 2, eaten,
                                            charSizes);
    EXPECT_EQ(made, 1u);
    EXPECT_EQ(eaten, 1u);
}

TEST(Utf8Reading, QuotesOfStartTagsWithCharactersOfSeveralBytes) {
    // Names and values of several bytes per character, blanks and line ends around '=', a quote
    // of the other kind inside a value, and an entity reference before the tag.
    BuilderTestDocument doc("<r>caf\xC3\xA9 &amp; th\xC3\xA9<p n\xC3\xA9=\"\xE6\x96\x87'x\" \n b = 'v\xF0\x9F\x98\x80\"'\n"
                            "\tc\r\n=\r\n\"\xC3\xA9\"/><q d='1' e=\"2\">t</q></r>");
    KelSyntaxElement* r = doc.root()->firstChild();
    ASSERT_NE(r, nullptr);
    std::vector<bool> quotes;
    std::vector<std::string> values;
    for (KelSyntaxElement* e = r->firstChild(); e; e = e->nextSibling()) {
        if (e->type() != XmlTypeElement) continue;
        for (KelSyntaxElement* a = e->firstChild(); a; a = a->nextSibling()) {
            if (a->type() != XmlTypeAttribute) continue;
            quotes.push_back(xml(a)->isDoubleQuotedAttribute());
            values.push_back(a->value().valueAsCharacter().toUtf8());
        }
    }
    EXPECT_EQ(quotes, (std::vector<bool>{true, false, true, false, true}));
    EXPECT_EQ(values, (std::vector<std::string>{"\xE6\x96\x87'x", "v\xF0\x9F\x98\x80\"", "\xC3\xA9", "1", "2"}));
}

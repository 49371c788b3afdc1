// The scanner's code-page transcoders: characters and the bytes behind each one, whole characters
// only at the end of a piece, invalid bytes after the good ones, and the registered page names.
#include "builder/XmlKelTranscoder.hpp"
#include "builder/XmlKelTranscoderRegistry.hpp"

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLException.hpp>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace xercesc;

namespace {

std::unique_ptr<XmlKelTranscoder> open(const char* icuName) {
    XmlKelTranscoderRegistry::ensureReady();
    return std::unique_ptr<XmlKelTranscoder>(XmlKelTranscoder::create(u"test", icuName, 64));
}

struct Result {
    std::u16string chars;
    std::vector<int> sizes;
    std::size_t eaten = 0;
};

Result transcode(XmlKelTranscoder& t, const std::string& bytes, std::size_t maxChars = 64) {
    Result r;
    std::vector<XMLCh> out(maxChars);
    std::vector<unsigned char> sizes(maxChars);
    const XMLSize_t made = t.transcodeFrom(reinterpret_cast<const XMLByte*>(bytes.data()), bytes.size(), out.data(),
                                           maxChars, r.eaten, sizes.data());
    r.chars.assign(out.data(), made);
    r.sizes.assign(sizes.begin(), sizes.begin() + static_cast<long>(made));
    return r;
}

// Feeds `bytes` the way the scanner does, in pieces ending at `split`, then the rest, and checks
// that the pieces give the text of one conversion with sizes that add up to every byte.
void expectSplitsAgree(const char* icuName, const std::string& bytes, const std::u16string& text) {
    for (std::size_t split = 1; split < bytes.size(); ++split) {
        auto t = open(icuName);
        ASSERT_NE(t, nullptr) << icuName;
        std::u16string chars;
        std::size_t done = 0;
        std::size_t total = 0;
        std::size_t limit = split;
        while (done < bytes.size()) {
            Result r = transcode(*t, bytes.substr(done, limit - done));
            if (r.eaten == 0) {
                ASSERT_LT(limit, bytes.size()) << icuName << " stuck at " << done;
                limit = bytes.size();
                continue;
            }
            chars += r.chars;
            for (int s : r.sizes) total += static_cast<std::size_t>(s);
            done += r.eaten;
            EXPECT_LE(done, limit);
            limit = bytes.size();
        }
        EXPECT_EQ(chars, text) << icuName << " split " << split;
        EXPECT_EQ(total, bytes.size()) << icuName << " split " << split;
    }
}

TEST(XmlKelTranscoder, BytesPerCharacterAndCutCharacters) {
    auto utf8 = open("UTF-8");
    ASSERT_NE(utf8, nullptr);
    Result r = transcode(*utf8, "a\xC3\xA9\xF0\x9F\x98\x80z");
    EXPECT_EQ(r.chars, u"a\u00E9\U0001F600z");
    EXPECT_EQ(r.sizes, (std::vector<int>{1, 2, 4, 0, 1}));
    EXPECT_EQ(r.eaten, 8u);
    // A character cut off at the end waits for its other bytes.
    r = transcode(*utf8, "a\xC3");
    EXPECT_EQ(r.chars, u"a");
    EXPECT_EQ(r.eaten, 1u);
    r = transcode(*utf8, "\xC3");
    EXPECT_EQ(r.eaten, 0u);
    // No more characters than there is room for.
    r = transcode(*utf8, "abcdef", 2);
    EXPECT_EQ(r.chars, u"ab");
    EXPECT_EQ(r.eaten, 2u);

    expectSplitsAgree("UTF-8", "a\xC3\xA9\xE6\x96\x87\xF0\x9F\x98\x80z", u"a\u00E9\u6587\U0001F600z");
    expectSplitsAgree("ibm-943_P15A-2003", "a\x82\xA0\x95\xB6z", u"a\u3042\u6587z");
    expectSplitsAgree("UTF-16BE", std::string("\x00<\x30\x42\xD8\x3D\xDE\x00", 8), u"<\u3042\U0001F600");
    // A page with shift states: shift-out, a double-byte character, shift-in, a single byte.
    if (auto mixed = open("ibm-930")) expectSplitsAgree("ibm-930", "\x0E\x44\x8A\x0F\xC1", u"\u3053A");
}

TEST(XmlKelTranscoder, InvalidBytesFailAfterTheGoodCharacters) {
    auto utf8 = open("UTF-8");
    Result r = transcode(*utf8, "ab\xFF" "c");
    EXPECT_EQ(r.chars, u"ab");
    EXPECT_EQ(r.eaten, 2u);
    EXPECT_THROW(transcode(*utf8, "\xFF" "c"), XMLException);
    auto ascii = open("US-ASCII");
    EXPECT_THROW(transcode(*ascii, "\x80"), XMLException);
    EXPECT_EQ(XmlKelTranscoder::create(u"x", "no-such-converter", 64), nullptr);
}

TEST(XmlKelTranscoder, RegisteredNamesReachTheHostConverters) {
    XmlKelTranscoderRegistry::ensureReady();
    XMLTransService::Codes code;
    std::unique_ptr<XMLTranscoder> ebcdic(
        XMLPlatformUtils::fgTransService->makeNewTranscoderFor(u"cpx-37", code, 64));
    ASSERT_NE(ebcdic, nullptr);
    XMLCh out[4];
    unsigned char sizes[4];
    XMLSize_t eaten = 0;
    ASSERT_EQ(ebcdic->transcodeFrom(reinterpret_cast<const XMLByte*>("\xC1\x7D\x4C"), 3, out, 4, eaten, sizes), 3u);
    EXPECT_EQ(std::u16string(out, 3), u"A'<");
    // Pages outside the table that ICU knows as "ibm-<ccsid>" are there too; others are not.
    std::unique_ptr<XMLTranscoder> other(XMLPlatformUtils::fgTransService->makeNewTranscoderFor(u"CPX-1025", code, 64));
    EXPECT_NE(other, nullptr);
    std::unique_ptr<XMLTranscoder> unknown(
        XMLPlatformUtils::fgTransService->makeNewTranscoderFor(u"cpx-4242", code, 64));
    EXPECT_EQ(unknown, nullptr);
}

} // namespace

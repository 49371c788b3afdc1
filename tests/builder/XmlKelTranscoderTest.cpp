// The scanner's code-page transcoders: characters and the bytes behind each one, whole characters
// only at the end of a piece, invalid bytes after the good ones, the registered page names, and
// single-byte pages read through their table exactly as their converter reads them.
#include "builder/XmlKelTranscoder.hpp"
#include "builder/XmlKelTranscoderRegistry.hpp"
#include "host/KelCodePageTable.hpp"
#include "host/KelConverter.hpp"
#include "host/KelSingleByteTable.hpp"

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLException.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

using namespace xercesc;

namespace {

std::unique_ptr<XmlKelTranscoder> open(const char* icuName, int ccsid = 0) {
    XmlKelTranscoderRegistry::ensureReady();
    return std::unique_ptr<XmlKelTranscoder>(
        XmlKelTranscoder::create(u"test", icuName, 64, XMLPlatformUtils::fgMemoryManager, ccsid));
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
    // Runs of ASCII, read many bytes at a time: one unit and one byte a character, up to the
    // room there is and up to the first byte that is not ASCII, wherever the run ends.
    const std::string run = "abcdefghijklmnopqrstuvwxyz0123456789.";
    const std::u16string runText = u"abcdefghijklmnopqrstuvwxyz0123456789.";
    for (std::size_t room : {std::size_t{64}, std::size_t{19}, std::size_t{16}, std::size_t{9}}) {
        r = transcode(*utf8, run + "\xC3\xA9" + run, room);
        const std::size_t first = std::min<std::size_t>(room, 37);
        std::u16string text = runText.substr(0, first);
        std::vector<int> sizes(first, 1);
        if (room > 37) {
            text += u"\u00E9" + runText.substr(0, room - 38);
            sizes.push_back(2);
            sizes.resize(room, 1);
        }
        EXPECT_EQ(r.chars, text) << room;
        EXPECT_EQ(r.sizes, sizes) << room;
        EXPECT_EQ(r.eaten, room > 37 ? room + 1 : room) << room;
    }
    expectSplitsAgree("UTF-8", run + "\xE6\x96\x87" + run.substr(5) + "\xC3\xA9z",
                      runText + u"\u6587" + runText.substr(5) + u"\u00E9z");

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

// Everything a transcoder gives for `bytes`, read in pieces of at most `piece` bytes as the
// scanner reads them: the units, the bytes of each, and "!" where it failed.
std::string readAll(XmlKelTranscoder& t, const std::string& bytes, std::size_t piece) {
    std::string out;
    std::size_t done = 0;
    while (done < bytes.size()) {
        Result r;
        try {
            r = transcode(t, bytes.substr(done, std::min(piece, bytes.size() - done)), 2 * piece);
        } catch (const XMLException&) {
            return out + "!" + std::to_string(done);
        }
        if (r.eaten == 0) return out + "?" + std::to_string(done);
        for (std::size_t i = 0; i < r.chars.size(); ++i)
            out += std::to_string(r.chars[i]) + "/" + std::to_string(r.sizes[i]) + " ";
        done += r.eaten;
    }
    return out;
}

TEST(XmlKelTranscoder, SingleBytePagesReadThroughTheirTableAsTheConverterReadsThem) {
    // Every single-byte page of the host's table, every byte: in one run of all the bytes the page
    // takes, and each byte the page rejects after good text (which comes first, then the failure at
    // the byte). The transcoder without its page's table is the converter's own reading.
    int tables = 0;
    for (const KelCodePageTable::Entry& entry : KelCodePageTable::entries()) {
        const KelSingleByteTable* table = KelSingleByteTable::forCcsid(entry.ccsid);
        if (table == nullptr) continue;
        SCOPED_TRACE(entry.ccsid);
        const std::string icuName = KelConverter::setCodepage(entry.ccsid, 0)->icuName();
        auto fast = open(icuName.c_str(), entry.ccsid);
        auto slow = open(icuName.c_str());
        ASSERT_NE(fast, nullptr);
        ASSERT_NE(slow, nullptr);
        ASSERT_NE(fast->byteUnits(), nullptr);
        EXPECT_EQ(slow->byteUnits(), nullptr);
        ++tables;
        std::string taken;
        std::vector<std::string> rejected;
        for (int b = 1; b < 256; ++b) {
            const std::string one(1, static_cast<char>(b));
            if (readAll(*slow, one, 1).find('!') == std::string::npos) taken += one;
            else rejected.push_back("<a>x" + one + "y</a>");
        }
        for (std::size_t piece : {std::size_t{7}, std::size_t{64}, std::size_t{4096}}) {
            EXPECT_EQ(readAll(*fast, taken, piece), readAll(*slow, taken, piece)) << piece;
            for (const std::string& bad : rejected) {
                const std::string read = readAll(*fast, bad, piece);
                EXPECT_EQ(read, readAll(*slow, bad, piece)) << piece;
                EXPECT_NE(read.find("!4"), std::string::npos) << read;
            }
        }
    }
    EXPECT_GE(tables, 30);
    // Pages with shift states and pages of several bytes keep their converter alone.
    EXPECT_EQ(open("UTF-8", 1208)->byteUnits(), nullptr);
    EXPECT_EQ(open("ibm-943_P15A-2003", 943)->byteUnits(), nullptr);
    if (KelConverter::isSupported(930)) {
        const std::string mixed = KelConverter::setCodepage(930, 0)->icuName();
        EXPECT_EQ(open(mixed.c_str(), 930)->byteUnits(), nullptr);
    }
}

} // namespace

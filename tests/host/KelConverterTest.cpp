// KelConverter: the ccsid table, round trips with known byte values, strictness, truncation and
// use from several threads.
#include "host/KelCodePageTable.hpp"
#include "host/KelConverter.hpp"
#include "host/KelException.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {
using Bytes = std::vector<unsigned char>;

Bytes encode(int ccsid, const KelStringBase& text, int byteOrder = 0) {
    const KelConverter* converter = KelConverter::setCodepage(ccsid);
    Bytes out(converter->maxBytesFor(text.length()));
    const std::size_t n = converter->convertFromUnicode(text.data(), text.length(), out.data(), out.size(), byteOrder);
    out.resize(n);
    return out;
}

KelStringBase decode(int ccsid, const Bytes& bytes, int byteOrder = 0) {
    return KelConverter::setCodepage(ccsid)->toUnicode(bytes.data(), static_cast<long>(bytes.size()), false, byteOrder);
}

// "é" then "A", text common to every Latin page.
const KelStringBase kLatin(u"\u00E9A");
} // namespace

TEST(KelConverterTest, EveryTableCcsidOpens) {
    // The UTF-16 pages and every page of the host's table.
    std::vector<int> table = {1200, 13488, 17584};
    for (const KelCodePageTable::Entry& entry : KelCodePageTable::entries()) table.push_back(entry.ccsid);
    ASSERT_GT(table.size(), 40u);
    for (int ccsid : table) {
        SCOPED_TRACE(ccsid);
        EXPECT_TRUE(KelConverter::isSupported(ccsid));
        const KelConverter* converter = KelConverter::createConverter(ccsid, 0);
        ASSERT_NE(converter, nullptr);
        EXPECT_EQ(converter->ccsid(), ccsid);
        EXPECT_FALSE(converter->icuName().empty());
        // Every page carries plain ASCII letters and digits both ways.
        const KelStringBase ascii(u"Az09");
        EXPECT_EQ(decode(ccsid, encode(ccsid, ascii)), ascii);
    }
    // Created once: the same object every time.
    EXPECT_EQ(KelConverter::setCodepage(1252), KelConverter::setCodepage(1252));
    // Pages outside the table that ICU knows as ibm-<ccsid> are found too.
    EXPECT_TRUE(KelConverter::isSupported(930));
    EXPECT_EQ(KelConverter::icuNameFor(99999), "");
}

TEST(KelConverterTest, SingleBytePagesUseTheirOwnByteValues) {
    struct Case { int ccsid; Bytes bytes; };
    const std::vector<Case> cases = {
        {819, {0xE9, 0x41}},
        {1252, {0xE9, 0x41}},
        {37, {0x51, 0xC1}},
        {1047, {0x51, 0xC1}},
        {850, {0x82, 0x41}},
        {1208, {0xC3, 0xA9, 0x41}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ccsid);
        EXPECT_EQ(encode(c.ccsid, kLatin), c.bytes);
        EXPECT_EQ(decode(c.ccsid, c.bytes), kLatin);
    }
    // EBCDIC pages differ where they should: '[' is 0xBA in 37 but 0xAD in 1047.
    EXPECT_EQ(encode(37, KelStringBase(u"[")), Bytes{0xBA});
    EXPECT_EQ(encode(1047, KelStringBase(u"[")), Bytes{0xAD});
    // The euro sign exists in 1252 and 1140 but not in 819.
    EXPECT_EQ(encode(1252, KelStringBase(u"\u20AC")), Bytes{0x80});
    EXPECT_EQ(encode(1140, KelStringBase(u"\u20AC")), Bytes{0x9F});
    EXPECT_THROW(encode(819, KelStringBase(u"\u20AC")), KelRecoverableException);
}

TEST(KelConverterTest, Utf16PagesHonourByteOrder) {
    const KelStringBase text(u"\u00E9\U0001F600");
    const Bytes big = {0x00, 0xE9, 0xD8, 0x3D, 0xDE, 0x00};
    const Bytes little = {0xE9, 0x00, 0x3D, 0xD8, 0x00, 0xDE};
    for (int ccsid : {1200, 13488, 17584}) {
        SCOPED_TRACE(ccsid);
        EXPECT_EQ(encode(ccsid, text, 1), big);
        EXPECT_EQ(encode(ccsid, text, 0), big);     // 0 counts as big-endian
        EXPECT_EQ(encode(ccsid, text, -1), little);
        EXPECT_EQ(decode(ccsid, big, 1), text);
        EXPECT_EQ(decode(ccsid, big, 0), text);
        EXPECT_EQ(decode(ccsid, little, -1), text);
    }
    // A byte-order mark is kept as a character.
    EXPECT_EQ(decode(1200, Bytes{0xFE, 0xFF, 0x00, 0x41}), KelStringBase(u"\uFEFFA"));
    // An odd byte count cannot be UTF-16.
    EXPECT_THROW(decode(1200, Bytes{0x00, 0x41, 0x00}), KelRecoverableException);
}

TEST(KelConverterTest, MultiByteAndNonLatinRoundTrips) {
    const KelStringBase japanese(u"\u65E5\u672C\u8A9E");
    EXPECT_EQ(encode(943, japanese), (Bytes{0x93, 0xFA, 0x96, 0x7B, 0x8C, 0xEA}));
    EXPECT_EQ(decode(932, encode(932, japanese)), japanese);
    EXPECT_EQ(decode(5050, encode(5050, japanese)), japanese);
    const KelStringBase chinese(u"\u4E2D\u6587");
    EXPECT_EQ(encode(1386, chinese), (Bytes{0xD6, 0xD0, 0xCE, 0xC4}));
    EXPECT_EQ(decode(1386, encode(1386, chinese)), chinese);
    const KelStringBase greek(u"\u03B1\u03B2");
    EXPECT_EQ(encode(1253, greek), (Bytes{0xE1, 0xE2}));
    EXPECT_EQ(decode(1208, encode(1208, KelStringBase(u"x\U0001F600y"))), KelStringBase(u"x\U0001F600y"));
}

TEST(KelConverterTest, FailuresAreReportedNeverSubstituted) {
    try {
        KelConverter::setCodepage(99999);
        FAIL() << "unknown ccsid accepted";
    } catch (const KelRecoverableException& e) {
        EXPECT_EQ(e.catalogueNumber(), 2340u);
        ASSERT_FALSE(e.inserts().empty());
        EXPECT_EQ(e.inserts().front(), "99999");
    }
    EXPECT_FALSE(KelConverter::isSupported(99999));
    // ICU's numbers for UTF-16 in one byte order or with a mark in front of every stretch, for
    // UTF-32 and for SCSU: written through ICU, quarn could not read them back (nor libxml2 the
    // marked ones), and SCSU's copies were read in another state. 1200 is UTF-16 here.
    for (int ccsid : {1201, 1202, 1204, 1205, 13489, 17586, 1232, 1234, 1236, 9424, 1212, 1213}) {
        EXPECT_FALSE(KelConverter::isSupported(ccsid)) << ccsid;
        EXPECT_THROW(KelConverter::setCodepage(ccsid), KelRecoverableException) << ccsid;
    }
    EXPECT_THROW(KelConverter::setCodepage(0), KelRecoverableException);
    EXPECT_THROW(KelConverter::setCodepage(-1), KelRecoverableException);

    // A character the page cannot hold: position in code units and the character itself.
    try {
        encode(37, KelStringBase(u"ab\u4E2Dc"));
        FAIL() << "unmappable character accepted";
    } catch (const KelRecoverableException& e) {
        EXPECT_EQ(e.catalogueNumber(), 2341u);
        ASSERT_EQ(e.inserts().size(), 3u);
        EXPECT_EQ(e.inserts()[0], "37");
        EXPECT_EQ(e.inserts()[1], "2");
        EXPECT_EQ(e.inserts()[2], "U+4E2D");
    }
    // An invalid byte: its offset and value.
    try {
        decode(1208, Bytes{'a', 'b', 'c', 0xFF, 'd'});
        FAIL() << "invalid UTF-8 accepted";
    } catch (const KelRecoverableException& e) {
        EXPECT_EQ(e.catalogueNumber(), 2341u);
        ASSERT_EQ(e.inserts().size(), 3u);
        EXPECT_EQ(e.inserts()[1], "3");
        EXPECT_EQ(e.inserts()[2], "0xFF");
    }
    EXPECT_THROW(decode(367, Bytes{0x41, 0x80}), KelRecoverableException);      // ASCII is 7-bit
    // No look-alike stand-ins either: U+0110 (D with stroke) is not the Icelandic eth at 0xAC.
    EXPECT_THROW(encode(37, KelStringBase(u"\u0110")), KelRecoverableException);
    EXPECT_THROW(decode(1208, Bytes{0x41, 0xE2, 0x82}), KelRecoverableException);  // cut short
    EXPECT_THROW(encode(1208, KelStringBase(std::u16string(1, u'\xD800'))), KelRecoverableException);
    // The converter is usable again after a failure.
    EXPECT_EQ(decode(1208, Bytes{0xC3, 0xA9}), KelStringBase(u"\u00E9"));

    const KelConverter* utf8 = KelConverter::setCodepage(1208);
    EXPECT_THROW(utf8->toUnicode(nullptr, 3), KelRecoverableException);
    EXPECT_THROW(utf8->toUnicode(reinterpret_cast<const unsigned char*>("ab"), -1), KelRecoverableException);
    unsigned char small[2];
    EXPECT_THROW(utf8->convertFromUnicode(u"abcdef", 6, small, sizeof small), KelRecoverableException);
}

// Text the host set may hold half a surrogate pair: every page refused it on the way out but the
// UTF-16 ones, which copied the unit into output no reader takes (libxml2: "input conversion
// failed").
TEST(KelConverterTest, AnUnpairedSurrogateIsRefusedOnTheWayOutInEveryPage) {
    const std::u16string texts[] = {u"ab\xD800" u"c", u"ab\xDC00" u"c", u"ab\xD800", u"ab\xDC00\xD800" u"c"};
    for (int ccsid : {1208, 1200, 13488, 37, 819}) {
        for (const std::u16string& text : texts) {
            SCOPED_TRACE(std::to_string(ccsid) + " " + std::to_string(text.size()));
            try {
                encode(ccsid, KelStringBase(text));
                ADD_FAILURE() << "half a pair written into ccsid " << ccsid;
            } catch (const KelRecoverableException& e) {
                EXPECT_EQ(e.catalogueNumber(), 2341u);
                ASSERT_EQ(e.inserts().size(), 3u);
                EXPECT_EQ(e.inserts()[1], "2");
                EXPECT_EQ(e.inserts()[2], text[2] == 0xD800 ? "U+D800" : "U+DC00");
            }
        }
    }
    // A whole pair is a character.
    for (int ccsid : {1208, 1200, 13488}) EXPECT_NO_THROW(encode(ccsid, KelStringBase(u"a\U0001F600b"))) << ccsid;
    EXPECT_EQ(encode(1200, KelStringBase(u"\U0001F600"), 1), (Bytes{0xD8, 0x3D, 0xDE, 0x00}));
}

TEST(KelConverterTest, FromUnicodeStopsOnWholeCharacters) {
    const KelConverter* utf8 = KelConverter::setCodepage(1208);
    const KelStringBase text(u"ab\u00E9\u20ACz");   // 1 + 1 + 2 + 3 + 1 bytes
    unsigned char out[16];
    struct Cut { long room; long bytes; std::size_t units; bool complete; };
    const Cut cuts[] = {{0, 0, 0, false}, {1, 1, 1, false}, {2, 2, 2, false}, {3, 2, 2, false},
                        {4, 4, 3, false}, {5, 4, 3, false}, {6, 4, 3, false}, {7, 7, 4, false},
                        {8, 8, 5, true},  {12, 8, 5, true}};
    for (const Cut& cut : cuts) {
        SCOPED_TRACE(cut.room);
        std::fill(std::begin(out), std::end(out), 0xEE);
        long length = cut.room;
        EXPECT_EQ(utf8->fromUnicode(out, length, text), cut.complete);
        EXPECT_EQ(length, cut.bytes);
        for (long i = cut.room; i < 16; ++i) ASSERT_EQ(out[i], 0xEE) << "wrote past the room given";
        EXPECT_EQ(utf8->toUnicode(out, length), text.substr(0, cut.units));
    }

    // UTF-16 never separates the halves of a surrogate pair.
    const KelConverter* utf16 = KelConverter::setCodepage(1200);
    const KelStringBase pair(u"a\U0001F600");
    long length = 4;
    EXPECT_FALSE(utf16->fromUnicode(out, length, pair, false, -1));
    EXPECT_EQ(length, 2);
    EXPECT_EQ(out[0], 'a');
    EXPECT_EQ(out[1], 0);

    // A stateful double-byte page ends in the single-byte state (shift-in) when cut short.
    const KelConverter* ebcdicJapanese = KelConverter::setCodepage(930);
    const KelStringBase mixed(u"A\u65E5\u672CB");
    unsigned char full[32];
    long fullLength = sizeof full;
    ASSERT_TRUE(ebcdicJapanese->fromUnicode(full, fullLength, mixed));
    EXPECT_EQ(ebcdicJapanese->toUnicode(full, fullLength), mixed);
    for (long room = 0; room < fullLength; ++room) {
        SCOPED_TRACE(room);
        long cut = room;
        EXPECT_FALSE(ebcdicJapanese->fromUnicode(out, cut, mixed));
        EXPECT_LE(cut, room);
        const KelStringBase back = ebcdicJapanese->toUnicode(out, cut);   // decodes cleanly
        EXPECT_TRUE(mixed.startsWith(back));
    }
}

TEST(KelConverterTest, ConvertersWorkFromManyThreadsAtOnce) {
    constexpr int kThreads = 4;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            const int pages[] = {37, 1208, 1252, 1047, 1200};
            const KelStringBase text(t % 2 == 0 ? u"caf\u00E9 \u00E0 la cr\u00E8me" : u"\u00C5ngstr\u00F6m");
            for (int i = 0; i < 2000; ++i) {
                const int ccsid = pages[(i + t) % 5];
                if (decode(ccsid, encode(ccsid, text, -1), -1) != text) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(KelConverterTest, InvisibleCharactersThePageLacksAreNotDropped) {
    // Default-ignorable characters: a page without them must refuse them like any other.
    for (int ccsid : {850, 37, 819}) {
        for (char16_t invisible : {u'\uFEFF', u'\u200B', u'\u2060'}) {
            const char16_t text[] = {u'a', invisible, u'b'};
            const KelConverter* converter = KelConverter::setCodepage(ccsid);
            std::vector<unsigned char> out(converter->maxBytesFor(3));
            try {
                converter->convertFromUnicode(text, 3, out.data(), out.size());
                ADD_FAILURE() << "U+" << std::hex << static_cast<int>(invisible) << " vanished into ccsid " << std::dec << ccsid;
            } catch (const KelRecoverableException& e) {
                EXPECT_EQ(e.catalogueNumber(), 2341u);
            }
        }
    }
    // Where the page has the character, it converts: the soft hyphen is 0xAD in 1252 and 0xCA in 37.
    const char16_t soft[] = {u'a', u'\u00AD'};
    unsigned char bytes[8];
    ASSERT_EQ(KelConverter::setCodepage(1252)->convertFromUnicode(soft, 2, bytes, sizeof bytes), 2u);
    EXPECT_EQ(bytes[1], 0xAD);
    ASSERT_EQ(KelConverter::setCodepage(37)->convertFromUnicode(soft, 2, bytes, sizeof bytes), 2u);
    EXPECT_EQ(bytes[1], 0xCA);
}

TEST(KelConverterTest, PagesWithNewLineRefuseU0085OnTheWayOut) {
    // Its byte is NL, which quarn and the mainframe readers of these pages take for a line end.
    for (int ccsid : {37, 500, 1047}) {
        ASSERT_TRUE(KelConverter::setCodepage(ccsid)->hasNewLine()) << ccsid;
        try {
            encode(ccsid, KelStringBase(u"ab\u0085"));
            ADD_FAILURE() << "U+0085 written into ccsid " << ccsid;
        } catch (const KelRecoverableException& e) {
            EXPECT_EQ(e.catalogueNumber(), 2341u);
            ASSERT_EQ(e.inserts().size(), 3u);
            EXPECT_EQ(e.inserts()[1], "2");
        }
        // A line feed is still LF, and NL is still read as U+0085.
        EXPECT_EQ(encode(ccsid, KelStringBase(u"a\n")), (std::vector<unsigned char>{0x81, 0x25}));
        const unsigned char nl = 0x15;
        EXPECT_EQ(KelConverter::setCodepage(ccsid)->toUnicode(&nl, 1, false, 0), KelStringBase(u"\u0085"));
        // Read as the tree builder reads it, NL is the line end it stands for.
        const unsigned char line[3] = {0x81, 0x15, 0x25};
        EXPECT_EQ(KelConverter::setCodepage(ccsid)->toUnicodeAsRead(line, 3), KelStringBase(u"a\n\n"));
    }
    // Pages without NL keep U+0085 where they hold it.
    EXPECT_FALSE(KelConverter::setCodepage(819)->hasNewLine());
    EXPECT_EQ(encode(819, KelStringBase(u"\u0085")), (std::vector<unsigned char>{0x85}));
    const unsigned char latin[2] = {0x61, 0x85};
    EXPECT_EQ(KelConverter::setCodepage(819)->toUnicodeAsRead(latin, 2), KelStringBase(u"a\u0085"));
}

TEST(KelConverterTest, PcPagesThatRotateControlsRefuseThemOnTheWayOut) {
    // ICU's tables for the IBM PC pages give DEL the byte 0x1C, which every other reader of
    // "IBM850" or "IBM437" takes for U+001C: the three rotated characters are refused, with the
    // position of the first, and the page keeps every other character.
    for (int ccsid : {437, 850}) {
        EXPECT_TRUE(KelConverter::setCodepage(ccsid)->rotatesControls()) << ccsid;
        for (char16_t control : {u'\u007F', u'\u001A', u'\u001C'}) {
            try {
                encode(ccsid, KelStringBase(std::u16string{u'a', control}));
                ADD_FAILURE() << "U+" << std::hex << static_cast<int>(control) << " written into ccsid " << std::dec
                              << ccsid;
            } catch (const KelRecoverableException& e) {
                EXPECT_EQ(e.catalogueNumber(), 2341u);
                ASSERT_EQ(e.inserts().size(), 3u);
                EXPECT_EQ(e.inserts()[1], "1");
            }
        }
        EXPECT_EQ(encode(ccsid, KelStringBase(u"a~\u00E9")).size(), 3u);
    }
    // Pages whose DEL is DEL (or the EBCDIC 0x07) keep it.
    for (int ccsid : {819, 1252, 37}) {
        EXPECT_FALSE(KelConverter::setCodepage(ccsid)->rotatesControls()) << ccsid;
        EXPECT_EQ(encode(ccsid, KelStringBase(std::u16string{u'\u007F'})).size(), 1u);
    }
}

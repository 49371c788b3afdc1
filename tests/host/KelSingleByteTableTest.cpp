// KelSingleByteTable: agrees with the strict converter on every BMP unit of several single-byte
// pages, misses no byte that converts both ways, refuses ill-formed UTF-8, and is one shared
// table per page whatever the thread.
#include "host/KelSingleByteTable.hpp"

#include "host/KelConverter.hpp"
#include "host/KelException.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {
using Bytes = std::vector<unsigned char>;

// The converter's bytes for one unit; empty when it refuses the unit.
Bytes converterBytes(const KelConverter* converter, char16_t unit) {
    Bytes out(converter->maxBytesFor(1));
    try {
        out.resize(converter->convertFromUnicode(&unit, 1, out.data(), out.size(), 0));
    } catch (const KelException&) {
        out.clear();
    }
    return out;
}

// Every unit that has an entry, as one text.
std::u16string everyEntry(const KelSingleByteTable& table) {
    std::u16string text;
    for (unsigned u = 0; u < 0x10000; ++u)
        if (table.byteFor(static_cast<char16_t>(u)) >= 0) text.push_back(static_cast<char16_t>(u));
    return text;
}

std::string toUtf8(const std::u16string& text) { return KelStringBase(text.data(), text.size()).toUtf8(); }

const unsigned char* bytesOf(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }
} // namespace

TEST(KelSingleByteTableTest, EveryUnitWithAnEntryGetsTheConvertersByteAndRefusedOnesHaveNone) {
    for (int ccsid : {37, 500, 819, 1047, 850, 1252, 1140}) {
        SCOPED_TRACE(ccsid);
        const KelSingleByteTable* table = KelSingleByteTable::forCcsid(ccsid);
        ASSERT_NE(table, nullptr);
        EXPECT_EQ(table->ccsid(), ccsid);
        const KelConverter* converter = KelConverter::setCodepage(ccsid);
        std::size_t entries = 0;
        for (unsigned u = 0; u < 0x10000; ++u) {
            const char16_t unit = static_cast<char16_t>(u);
            const int byte = table->byteFor(unit);
            if (byte < 0) continue;
            ++entries;
            const Bytes expected = converterBytes(converter, unit);
            ASSERT_EQ(expected.size(), 1u) << "U+" << std::hex << u << " has an entry the converter refuses";
            ASSERT_EQ(expected[0], byte) << "U+" << std::hex << u;
        }
        EXPECT_EQ(entries, table->size());
        // Characters the converter refuses for a reason of its own (invisible ones the page
        // lacks) have no entry either.
        for (char16_t unit : {u'\u200B', u'\uFEFF', u'\u2060'}) {
            if (converterBytes(converter, unit).empty()) {
                EXPECT_LT(table->byteFor(unit), 0) << int(unit);
            }
        }
    }
}

TEST(KelSingleByteTableTest, NoByteThatConvertsBothWaysIsMissing) {
    for (int ccsid : {37, 273, 277, 278, 280, 284, 285, 297, 500, 871, 1047, 1140, 1148, 819, 367, 923, 437,
                      850, 852, 858, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258}) {
        SCOPED_TRACE(ccsid);
        const KelSingleByteTable* table = KelSingleByteTable::forCcsid(ccsid);
        ASSERT_NE(table, nullptr);
        const KelConverter* converter = KelConverter::setCodepage(ccsid);
        std::size_t roundTrips = 0;
        for (int b = 0; b < 256; ++b) {
            const unsigned char byte = static_cast<unsigned char>(b);
            KelStringBase text;
            try {
                text = converter->toUnicode(&byte, 1);
            } catch (const KelException&) {
                continue;
            }
            if (text.length() != 1) continue;
            const Bytes back = converterBytes(converter, text.data()[0]);
            if (back.size() != 1 || back[0] != byte) continue;
            ++roundTrips;
            EXPECT_EQ(table->byteFor(text.data()[0]), b) << "byte " << b;
        }
        EXPECT_EQ(table->size(), roundTrips);
        EXPECT_GE(roundTrips, 128u);   // ASCII at least, in every one of these pages
    }
}

TEST(KelSingleByteTableTest, TextsConvertAsTheConverterConvertsThemWhole) {
    for (int ccsid : {37, 1047, 819, 850, 1252, 1140}) {
        SCOPED_TRACE(ccsid);
        const KelSingleByteTable* table = KelSingleByteTable::forCcsid(ccsid);
        ASSERT_NE(table, nullptr);
        const KelConverter* converter = KelConverter::setCodepage(ccsid);
        const std::u16string text = everyEntry(*table);
        Bytes expected(converter->maxBytesFor(text.size()));
        expected.resize(converter->convertFromUnicode(text.data(), text.size(), expected.data(), expected.size(), 0));

        Bytes out(text.size());
        ASSERT_TRUE(table->fromUtf16(text.data(), text.size(), out.data()));
        EXPECT_EQ(out, expected);

        const std::string utf8 = toUtf8(text);
        Bytes fromUtf8(utf8.size());
        const long n = table->fromUtf8(bytesOf(utf8), utf8.size(), fromUtf8.data());
        ASSERT_EQ(n, static_cast<long>(expected.size()));
        fromUtf8.resize(static_cast<std::size_t>(n));
        EXPECT_EQ(fromUtf8, expected);
    }
}

TEST(KelSingleByteTableTest, AnyCharacterWithoutEntryOrIllFormedUtf8FailsTheWholeText) {
    const KelSingleByteTable* table = KelSingleByteTable::forCcsid(37);
    ASSERT_NE(table, nullptr);
    Bytes out(64);
    // The euro sign is not in 37, nor is any character outside the BMP.
    const std::u16string withEuro = u"caf\u00E9 \u20AC 5";
    EXPECT_FALSE(table->fromUtf16(withEuro.data(), withEuro.size(), out.data()));
    const std::u16string withPair = u"smile \U0001F600";
    EXPECT_FALSE(table->fromUtf16(withPair.data(), withPair.size(), out.data()));
    EXPECT_EQ(table->fromUtf8(bytesOf(toUtf8(withEuro)), toUtf8(withEuro).size(), out.data()), -1);
    EXPECT_EQ(table->fromUtf8(bytesOf(toUtf8(withPair)), toUtf8(withPair).size(), out.data()), -1);

    // Every byte here but the bad sequence has an entry.
    const std::vector<std::string> bad = {
        "ab\xC0\x80" "cd",      // overlong
        "ab\xC1\xBF",           // overlong lead
        "ab\xE0\x9F\xBF",       // overlong three-byte form
        "ab\xED\xA0\x80",       // surrogate
        "ab\xE2\x82",           // cut off at the end
        "ab\xC3",               // cut off lead
        "ab\x80" "cd",          // stray continuation byte
        "ab\xC3" "A",           // lead without its continuation
        "ab\xF4\x90\x80\x80",   // above U+10FFFF
        "ab\xF5\x80\x80\x80",   // lead that never starts a sequence
        "ab\xFF",
    };
    // Alone, and after a run of ASCII long enough to be read several bytes at a time.
    for (const std::string& lead : {std::string(), std::string("0123456789abcdefghij")}) {
        for (const std::string& sequence : bad) {
            const std::string text = lead + sequence;
            SCOPED_TRACE(text);
            EXPECT_EQ(table->fromUtf8(bytesOf(text), text.size(), out.data()), -1);
            // The converter refuses the same bytes.
            EXPECT_THROW(KelConverter::setCodepage(1208)->toUnicode(bytesOf(text), static_cast<long>(text.size())),
                         KelException);
        }
    }
    // Well formed, with runs of ASCII shorter and longer than eight bytes around other letters.
    const KelConverter* converter = KelConverter::setCodepage(37);
    for (const std::string& good : {std::string("ab\xC3\xA9" "cd"), std::string("0123456789ab\xC3\xA9" "cdefghijklmnop"),
                                    std::string("\xC3\xA9" "0123456789abcdefg\xC3\xBC")}) {
        SCOPED_TRACE(good);
        const KelStringBase text = KelStringBase::fromUtf8(good);
        Bytes expected(converter->maxBytesFor(text.length()));
        expected.resize(converter->convertFromUnicode(text.data(), text.length(), expected.data(), expected.size(), 0));
        const long n = table->fromUtf8(bytesOf(good), good.size(), out.data());
        ASSERT_EQ(n, static_cast<long>(text.length()));
        EXPECT_EQ(Bytes(out.begin(), out.begin() + n), expected);
    }
    EXPECT_EQ(table->fromUtf8(bytesOf(std::string("ab")), 0, out.data()), 0);
}

TEST(KelSingleByteTableTest, PagesOfSeveralBytesOrUnknownHaveNoTable) {
    for (int ccsid : {1208, 1200, 13488, 17584, 943, 932, 1386, 5050, 930}) {
        EXPECT_EQ(KelSingleByteTable::forCcsid(ccsid), nullptr) << ccsid;
    }
    // Unknown pages are left to the converter, which still names them.
    EXPECT_EQ(KelSingleByteTable::forCcsid(99999), nullptr);
    EXPECT_EQ(KelSingleByteTable::forCcsid(-5), nullptr);
    EXPECT_THROW(KelConverter::setCodepage(99999), KelException);
}

TEST(KelSingleByteTableTest, OneTablePerPageShapedOnceAcrossThreads) {
    const std::vector<int> pages = {297, 1141, 1143, 1145, 1147, 1149};   // not used by the tests above
    constexpr int kThreads = 4;
    std::vector<std::vector<const KelSingleByteTable*>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int ccsid : pages) seen[t].push_back(KelSingleByteTable::forCcsid(ccsid));
        });
    }
    for (auto& thread : threads) thread.join();
    for (std::size_t p = 0; p < pages.size(); ++p) {
        ASSERT_NE(seen[0][p], nullptr);
        EXPECT_EQ(seen[0][p]->ccsid(), pages[p]);
        for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t][p], seen[0][p]) << pages[p];
    }
}

// quarn write and batch: a message without an XML declaration written in a page other than UTF-8
// or UTF-16 gets one naming the page, unless --no-declaration says otherwise; a declaration of
// its own names the page written.
#include "QuarnRun.hpp"

#include "tests/support/LibxmlCanonicalReader.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

using namespace quarntest;

namespace {
// "<a>M" + u-umlaut + "nchen</a>" in 819 and in 37.
const std::string kLatin1Body = "<a>M\xFCnchen</a>";
const std::string kEbcdicDeclaration = "\x4C\x6F\xA7\x94\x93\x40\xA5\x85\x99\xA2\x89\x96\x95\x7E\x7F\xF1\x4B\xF0\x7F"
                                       "\x40\x85\x95\x83\x96\x84\x89\x95\x87\x7E\x7F\xC9\xC2\xD4\xF0\xF3\xF7\x7F\x6F\x6E";
} // namespace

TEST(QuarnDeclaration, AddedWhereAReaderNeedsItAndOnlyThere) {
    const std::string input = "<a>M\xC3\xBCnchen</a>";
    for (const char* reuse : {"", " --no-span-reuse"}) {
        Result latin1 = quarn(std::string("write - --out-ccsid 819") + reuse, input);
        ASSERT_EQ(latin1.status, 0) << latin1.err;
        EXPECT_EQ(latin1.out, "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>" + kLatin1Body);
        Result bare = quarn(std::string("write - --out-ccsid 819 --no-declaration") + reuse, input);
        EXPECT_EQ(bare.out, kLatin1Body);
    }
    // UTF-8 and UTF-16 are found without a name: nothing is added.
    EXPECT_EQ(quarn("write -", input).out, input);
    EXPECT_EQ(quarn("write - --out-ccsid 1200 --out-encoding 273", input).out.substr(0, 4), std::string("\xFE\xFF\0<", 4));
    // Unchanged and passed through whole, an EBCDIC message still gets its declaration.
    const std::string ebcdic = quarn("write - --out-ccsid 37 --no-declaration", "<a>x</a>").out;
    Result named = quarn("write - --ccsid 37 --out-ccsid 37", ebcdic);
    ASSERT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(named.out, kEbcdicDeclaration + ebcdic);
}

TEST(QuarnDeclaration, AMessageWithADeclarationGetsThePageNamedThere) {
    const std::string input = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>x</a>";
    Result r = quarn("write - --out-ccsid 37", input);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, kEbcdicDeclaration.size()), kEbcdicDeclaration);
    EXPECT_EQ(r.out.size(), kEbcdicDeclaration.size() + 8);

    // batch writes each message as write does.
    const std::string in = tempPath("decl-in"), out = tempPath("decl-out");
    ASSERT_EQ(shell("rm -rf " + quote(in) + " " + quote(out) + " && mkdir -p " + quote(in)).status, 0);
    spit(in + "/m.xml", "<a>M\xC3\xBCnchen</a>");
    Result batch = quarn("batch " + quote(in) + " " + quote(out) + " --out-ccsid 819 --jobs 1 --no-progress");
    ASSERT_EQ(batch.status, 0) << batch.err;
    EXPECT_EQ(slurp(out + "/m.xml"), "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>" + kLatin1Body);
    Result plain = quarn("batch " + quote(in) + " " + quote(out) + " --out-ccsid 819 --jobs 1 --no-progress --no-declaration --replace");
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(slurp(out + "/m.xml"), kLatin1Body);
    shell("rm -rf " + quote(in) + " " + quote(out));
}

// A UTF-16 message with its mark that still declares the page it was converted from, written
// unchanged in its own page: its declaration names UTF-16 now, and libxml2 reads it by it.
TEST(QuarnDeclaration, AnUnchangedMessageDeclaringAnotherPageGetsItsOwnNamed) {
    const std::string text = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>M\xC3\xBCnchen</a>";
    std::string utf16le = "\xFF\xFE";
    // The text as UTF-16LE: its one non-ASCII character is U+00FC.
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "\xC3\xBC") == 0) {
            utf16le += std::string("\xFC\0", 2);
            ++i;
        } else {
            utf16le += std::string{text[i], '\0'};
        }
    }
    for (const char* args : {"write -", "write - --out-ccsid 1200", "write - --ccsid 1200 --out-ccsid 1200"}) {
        const Result r = quarn(args, utf16le);
        ASSERT_EQ(r.status, 0) << args << ": " << r.err;
        const LibxmlReading read = LibxmlCanonicalReader::read(r.out);
        EXPECT_TRUE(read.ok) << args << ": " << read.error;
        EXPECT_EQ(read.canonical, "<a>M\xC3\xBCnchen</a>") << args;
    }
}

// A message read as UTF-8 that declares another page and holds bytes UTF-8 refuses: whether the
// bad byte lies in the stretch the declaration check reads first, in the rest of its kilobyte or
// beyond, the write refuses the message and writes nothing; it is never passed through as it is.
TEST(QuarnDeclaration, ADeclarationOfAnotherPageBeforeBytesThatAreNotUtf8IsRefused) {
    const std::string head = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>";
    for (std::size_t padding : {std::size_t(10), std::size_t(500), std::size_t(3000)}) {
        const std::string message = head + std::string(padding, 'x') + "M\xFCnchen</a>";
        const std::string out = quarntest::tempPath("declared-latin1.xml");
        std::remove(out.c_str());
        const Result r = quarn("write - --ccsid 1208 -o " + quarntest::quote(out), message);
        EXPECT_EQ(r.status, 1) << padding << ": " << r.err;
        EXPECT_NE(r.err.find("invalid multi-byte sequence"), std::string::npos) << padding << ": " << r.err;
        EXPECT_FALSE(std::ifstream(out).good()) << padding << ": a refused message left output";
    }
}

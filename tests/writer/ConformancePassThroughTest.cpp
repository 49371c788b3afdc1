// Every document of the conformance suite that parses passes through unchanged, byte for byte:
// on the reuse path, and element by element from the spans with the reuse flag off. With span
// reuse off every element is written anew, and the result parses to the same tree.
#include "tests/support/CanonicalTreePrinter.hpp"
#include "tests/support/ConformanceManifest.hpp"
#include "tests/support/TestDocumentCodePage.hpp"

#include "host/KelException.hpp"
#include "host/KelMessageGroup.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelWriteBuffer.hpp"
#include "common/XmlElementType.hpp"
#include "parser/XmlKelParser.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {
struct Message {
    KelMessageGroup group;
    std::unique_ptr<XmlKelParser> parser;
    int ccsid;
    int encoding;
    Message(const std::string& bytes, int ccsid_, int encoding_, bool spanReuse) : ccsid(ccsid_), encoding(encoding_) {
        parser = std::make_unique<XmlKelParser>(&group, spanReuse);
        parser->initialize();
        parser->refreshElementsFromBitStream(nullptr, KelBuffer::fromString(bytes), encoding, ccsid);
    }
    std::string write(bool reuseFlag) {
        parser->setReuseBitStream(reuseFlag);
        KelWriteBuffer out(ccsid);
        parser->refreshBitStreamFromElements(nullptr, &out, parser->rootElement(), encoding, ccsid);
        return out.toString();
    }
    std::string canonical() { return CanonicalTreePrinter::print(parser->rootElement()); }
};

// The page and byte order to read and write a suite document in: its own, so that an unchanged
// document must come back as the very same bytes.
TestDocumentCodePage pageOf(const std::string& bytes) {
    TestDocumentCodePage page = TestDocumentCodePage::of(bytes);
    if (page.ccsid == 1200 && bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE) page.encoding = 273;
    if (page.ccsid == 1200 && bytes.size() >= 2 && bytes[0] == 0x00) page.encoding = 0x111;   // no mark, big-endian
    if (page.ccsid == 1200 && bytes.size() >= 2 && bytes[0] == 0x3C) page.encoding = 0;       // no mark, little-endian
    return page;
}

std::string firstDifference(const std::string& got, const std::string& expected) {
    std::size_t i = 0;
    while (i < got.size() && i < expected.size() && got[i] == expected[i]) ++i;
    auto around = [i](const std::string& s) { return s.substr(i < 20 ? 0 : i - 20, 60); };
    return "at byte " + std::to_string(i) + ": got '" + around(got) + "' expected '" + around(expected) + "'";
}
} // namespace

TEST(ConformancePassThrough, ParsedDocumentsComeBackUnchanged) {
    const std::string manifest = std::string(QUARN_CONFORMANCE_DIR) + "/xmlconf.xml";
    bool present = false;
    ConformanceManifest::readFile(manifest, &present);
    if (!present) GTEST_SKIP() << "no conformance suite at " << manifest;
    int documents = 0, reuseIdentical = 0, spanIdentical = 0, editedSame = 0, rewrittenSame = 0;
    std::vector<std::string> problems;
    for (const ConformanceCase& c : ConformanceManifest::read(manifest)) {
        if (!ConformanceManifest::notApplicable(c).empty() || c.type == "not-wf") continue;
        bool readable = false;
        const std::string bytes = ConformanceManifest::readFile(c.path(), &readable);
        if (!readable) continue;
        const TestDocumentCodePage page = pageOf(bytes);
        std::string canonical;
        try {
            Message parsed(bytes, page.ccsid, page.encoding, true);
            canonical = parsed.canonical();
        } catch (const KelException&) {
            continue; // the parsing tests account for documents that do not parse
        }
        ++documents;
        try {
            Message reuse(bytes, page.ccsid, page.encoding, true);
            const std::string out = reuse.write(true);
            if (out == bytes) ++reuseIdentical;
            else problems.push_back(c.id + " reuse path: " + firstDifference(out, bytes));

            Message spans(bytes, page.ccsid, page.encoding, true);
            const std::string copied = spans.write(false);
            if (copied == bytes) ++spanIdentical;
            else problems.push_back(c.id + " span copies: " + firstDifference(copied, bytes));

            // The document element rewritten (renamed to its own name), its content copied child
            // by child from the spans: every inner span must be exactly its element's text.
            Message edited(bytes, page.ccsid, page.encoding, true);
            for (KelSyntaxElement* e = edited.parser->rootElement()->firstChild(); e; e = e->nextSibling())
                if (e->type() == XmlTypeElement) e->setName(KelStringBase(e->name()));
            const std::string editedOut = edited.write(false);
            Message editedBack(editedOut, page.ccsid, page.encoding, true);
            if (editedBack.canonical() == canonical) ++editedSame;
            else problems.push_back(c.id + " edited: tree differs\n  got:      " + editedBack.canonical() + "\n  expected: " + canonical);

            Message markup(bytes, page.ccsid, page.encoding, false);
            const std::string rewritten = markup.write(false);
            Message reread(rewritten, page.ccsid, page.encoding, true);
            const std::string again = reread.canonical();
            if (again == canonical) ++rewrittenSame;
            else problems.push_back(c.id + " rewritten: tree differs\n  got:      " + again + "\n  expected: " + canonical);
        } catch (const KelException& e) {
            problems.push_back(c.id + ": " + e.what());
        }
    }
    std::printf("pass-through: %d documents; reuse path identical %d, span copies identical %d, "
                "document element rewritten around copied content %d, rewritten and reparsed to the same tree %d\n",
                documents, reuseIdentical, spanIdentical, editedSame, rewrittenSame);
    std::string report;
    for (const std::string& p : problems) report += p + "\n";
    EXPECT_TRUE(problems.empty()) << problems.size() << " problems:\n" << report;
    EXPECT_GT(documents, 300);
}

TEST(PassThroughDetails, DocumentTypeDeclarationKeepsItsClosingBytes) {
    const std::string doc = "<!DOCTYPE r [\n<!ELEMENT r ANY>\n] >\n<r/>";
    Message copied(doc, 1208, 546, true);
    EXPECT_EQ(copied.write(false), doc);
    // The declaration rewritten, its unchanged subset copied with the closing bytes: one '>'.
    Message renamed(doc, 1208, 546, true);
    KelSyntaxElement* decl = renamed.parser->rootElement()->firstChild();
    ASSERT_EQ(decl->type(), XmlTypeDocTypeDecl);
    decl->setName(KelStringBase(u"s"));
    EXPECT_EQ(renamed.write(false), "<!DOCTYPE s[\n<!ELEMENT r ANY>\n] >\n<r/>");
    // The subset rewritten: the writer closes subset and declaration itself.
    Message changed(doc, 1208, 546, true);
    KelSyntaxElement* subset = changed.parser->rootElement()->firstChild()->firstChild();
    ASSERT_EQ(subset->type(), XmlTypeInternalSubset);
    subset->firstChild()->nextSibling()->setName(KelStringBase(u"q"));
    EXPECT_EQ(changed.write(false), "<!DOCTYPE r [\n<!ELEMENT q ANY>\n]>\n<r/>");
}

TEST(PassThroughDetails, Utf8ByteOrderMarkSurvivesSpanCopiesAndRewrites) {
    const std::string doc = "\xEF\xBB\xBF<r a='1'>t</r>";
    Message copied(doc, 1208, 546, true);
    EXPECT_EQ(copied.write(false), doc);
    Message edited(doc, 1208, 546, true);
    edited.parser->rootElement()->firstChild()->firstChild()->setValue(KelStringBase(u"2"));
    EXPECT_EQ(edited.write(false), "\xEF\xBB\xBF<r a='2'>t</r>");
    // Into another page the mark is that page's business: none for ccsid 819.
    Message latin(doc, 1208, 546, true);
    KelWriteBuffer out(819);
    latin.parser->refreshBitStreamFromElements(nullptr, &out, latin.parser->rootElement(), 546, 819);
    EXPECT_EQ(out.toString(), "<r a='1'>t</r>");
}

// Encoding detection over the conformance suite: every well-formed document, converted to each
// supported kind of page with and without a byte-order mark and an encoding declaration, is
// found to be in that page, and parses with what was found into the tree the original gives.
#include "BuilderTestDocument.hpp"

#include "host/KelEncodingDetector.hpp"
#include "tests/support/CanonicalTreePrinter.hpp"
#include "tests/support/ConformanceManifest.hpp"
#include "tests/support/TestDocumentCodePage.hpp"

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Page {
    int ccsid;
    int byteOrder;        // for UTF-16: 1 big-endian, -1 little-endian
    const char* declared; // the name its declaration gives
};

const Page kPages[] = {{1208, 1, "UTF-8"},          {1200, 1, "UTF-16"},     {1200, -1, "UTF-16"},
                       {37, 1, "IBM037"},           {1047, 1, "IBM-1047"},   {819, 1, "ISO-8859-1"},
                       {1252, 1, "windows-1252"},   {943, 1, "Shift_JIS"}};

// The document's text without its byte-order mark and XML declaration, or false when it cannot
// be decoded as the suite's reader would.
bool bodyOf(const std::string& bytes, KelStringBase& body) {
    const TestDocumentCodePage page = TestDocumentCodePage::of(bytes);
    if (page.ccsid == 0) return false;
    try {
        int byteOrder = 0;
        if (page.ccsid == 1200) {
            const auto b0 = static_cast<unsigned char>(bytes[0]);
            byteOrder = (b0 == 0xFF || b0 == 0x3C) ? -1 : 1;
        }
        body = KelConverter::setCodepage(page.ccsid)
                   ->toUnicode(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<long>(bytes.size()),
                               false, byteOrder);
    } catch (const KelException&) {
        return false;
    }
    if (!body.empty() && body[0] == u'\xFEFF') body.erase(0, 1);
    const std::string utf8 = body.toUtf8();
    if (utf8.compare(0, 6, "<?xml ") == 0 || utf8.compare(0, 6, "<?xml\t") == 0 || utf8.compare(0, 6, "<?xml\n") == 0) {
        const std::size_t end = body.find(KelStringBase(u"?>"));
        if (end == KelStringBase::npos) return false;
        body.erase(0, end + 2);
    }
    return true;
}

std::string encoded(const KelStringBase& text, const Page& page) {
    KelWriteBuffer buffer(page.ccsid);
    buffer.appendMbs(text, page.ccsid, page.byteOrder);
    return buffer.toString();
}

std::string canonicalOf(const std::string& bytes, int ccsid, int encoding) {
    BuilderTestDocument doc(bytes, ccsid, encoding);
    return CanonicalTreePrinter::print(doc.root());
}

} // namespace

TEST(EncodingDetection, ConformanceDocumentsInEveryPageAreFoundAndParse) {
    const std::string manifest = std::string(QUARN_CONFORMANCE_DIR) + "/xmlconf.xml";
    bool present = false;
    ConformanceManifest::readFile(manifest, &present);
    if (!present) GTEST_SKIP() << "no conformance suite at " << manifest;

    int documents = 0, variants = 0, parsed = 0;
    std::vector<std::string> problems;
    for (const ConformanceCase& c : ConformanceManifest::read(manifest)) {
        if (c.type == "not-wf" || c.type == "error" || !ConformanceManifest::notApplicable(c).empty()) continue;
        bool readable = false;
        const std::string original = ConformanceManifest::readFile(c.path(), &readable);
        KelStringBase body;
        if (!readable || !bodyOf(original, body)) continue;
        const TestDocumentCodePage originalPage = TestDocumentCodePage::of(original);
        std::string expected;
        try {
            expected = canonicalOf(original, originalPage.ccsid, originalPage.encoding);
        } catch (const KelException&) {
            continue;   // the conformance test reports these
        }
        ++documents;
        int variantNumber = 0;
        for (const Page& page : kPages) {
            const bool unicode = page.ccsid == 1200 || page.ccsid == 1208;
            for (int variant = 0; variant < 4; ++variant) {
                const bool mark = variant & 1, declaration = variant & 2;
                if (mark && !unicode) continue;
                // Without a mark, UTF-16 is known only by its declaration's "<?", EBCDIC and the
                // other pages only by their declaration.
                if (!mark && !declaration && page.ccsid != 1208) continue;
                KelStringBase text;
                if (declaration) {
                    text = KelStringBase::fromUtf8(std::string("<?xml version=\"1.0\" encoding=\"") + page.declared + "\"?>");
                }
                text += body;
                std::string bytes;
                try {
                    bytes = encoded(text, page);
                } catch (const KelException&) {
                    continue;   // a character the page lacks
                }
                if (mark) bytes = (page.ccsid == 1208 ? std::string("\xEF\xBB\xBF") : std::string()) + bytes;
                if (mark && page.ccsid == 1200)
                    bytes = (page.byteOrder == 1 ? std::string("\xFE\xFF") : std::string("\xFF\xFE")) + bytes;
                ++variants;
                const std::string what = c.id + " in " + std::to_string(page.ccsid) + (page.byteOrder < 0 ? "LE" : "") +
                                         (mark ? " with mark" : "") + (declaration ? " with declaration" : "");
                KelEncodingDetector::Result found;
                try {
                    found = KelEncodingDetector::detect(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
                } catch (const KelException& e) {
                    problems.push_back(what + ": " + e.what());
                    continue;
                }
                const int expectedEncoding = page.ccsid == 1200 ? (page.byteOrder == 1 ? 273 : 546) : found.encoding;
                if (found.ccsid != page.ccsid || found.encoding != expectedEncoding) {
                    problems.push_back(what + ": found " + std::to_string(found.ccsid) + "/" + std::to_string(found.encoding));
                    continue;
                }
                // Every variant is detected; a third of them, taking turns over the documents so
                // that each page and kind of variant is parsed often, are parsed as well.
                if ((documents + variantNumber++) % 3 != 0) continue;
                ++parsed;
                try {
                    const std::string got = canonicalOf(bytes, found.ccsid, found.encoding);
                    if (got != expected) problems.push_back(what + ": parses to another tree:\n  " + got + "\n  " + expected);
                } catch (const KelException& e) {
                    problems.push_back(what + ": does not parse: " + e.what());
                }
            }
        }
    }
    std::printf("detection: %d documents, %d variants detected, %d parsed\n", documents, variants, parsed);
    std::string report;
    for (std::size_t i = 0; i < problems.size() && i < 30; ++i) report += problems[i] + "\n";
    EXPECT_TRUE(problems.empty()) << problems.size() << " problems:\n" << report;
    EXPECT_GT(documents, 250);
}

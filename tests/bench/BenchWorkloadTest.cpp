// The benchmark's documents and workloads: a benchmark that measured a malformed document, a
// scan that stopped early or a write that dropped data would report speed for work not done.
#include "bench/DocumentGenerator.hpp"
#include "bench/QuarnWorkloads.hpp"
#include "bench/XercesScanFloor.hpp"

#include "host/KelConverter.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelWriteBuffer.hpp"
#include "builder/XmlBrokerOrvaneParser.hpp"
#include "common/XmlElementType.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

namespace {

KelBuffer viewOf(const std::string& bytes) {
    return KelBuffer(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<long>(bytes.size()));
}

std::size_t countOf(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Type counts of a fully walked tree, in document order, as one comparable text.
std::string shapeOf(QuarnWorkloads& work) {
    std::string shape;
    KelSyntaxElement* top = work.root();
    for (KelSyntaxElement* e = top; e != nullptr;) {
        shape += std::to_string(e->type()) + ":" + e->name().toUtf8() + "=" +
                 ((e->typeCode() & kXmlValueBit) ? e->value().valueAsCharacter().toUtf8() : std::string()) + "\n";
        if (KelSyntaxElement* c = e->firstChild()) {
            e = c;
            continue;
        }
        while (e != top && e->nextSibling() == nullptr) e = e->parent();
        e = e == top ? nullptr : e->nextSibling();
    }
    return shape;
}

} // namespace

TEST(BenchDocumentTest, SizeFeaturesAndRepeatability) {
    const std::string doc = DocumentGenerator(3).utf8Document(200 * 1024);
    EXPECT_GE(doc.size(), 200u * 1024);
    EXPECT_LT(doc.size(), 200u * 1024 + 2048);  // at most one record past the target
    EXPECT_EQ(doc, DocumentGenerator(3).utf8Document(200 * 1024));
    EXPECT_NE(doc, DocumentGenerator(4).utf8Document(200 * 1024));
    // Everything a realistic message has, and both quote styles.
    for (const char* feature : {"<![CDATA[", "<!--", "&amp;", "&#x", "&supplier;", "='", "=\"", "\n    <"})
        EXPECT_GT(countOf(doc, feature), 0u) << feature;
    EXPECT_EQ(countOf(doc, "<order "), countOf(doc, "</order>"));
}

TEST(BenchDocumentTest, Utf16IsTheSameDocumentWithAMark) {
    const std::string utf16 = DocumentGenerator(5).document(100 * 1024, DocumentGenerator::Encoding::Utf16Le);
    ASSERT_GE(utf16.size(), 2u);
    EXPECT_EQ(utf16.substr(0, 2), std::string("\xFF\xFE", 2));
    std::string utf8 = DocumentGenerator(5).utf8Document(50 * 1024);
    const KelStringBase decoded = KelConverter::setCodepage(1200)->toUnicode(
        reinterpret_cast<const unsigned char*>(utf16.data()) + 2, static_cast<long>(utf16.size() - 2), false, -1);
    utf8.replace(utf8.find("encoding=\"UTF-8\""), 16, "encoding=\"UTF-16\"");
    EXPECT_EQ(decoded.toUtf8(), utf8);
    // Non-ASCII names survive as single code units, so the conversion is not byte-wise.
    EXPECT_LT(decoded.length(), utf8.size());

    const std::string original = DocumentGenerator(5).utf8Document(50 * 1024);
    QuarnWorkloads narrow(viewOf(original), 1208);
    QuarnWorkloads wide(viewOf(utf16), 1200);
    EXPECT_EQ(narrow.fullWalk().elements, wide.fullWalk().elements);
}

TEST(BenchDocumentTest, Ebcdic37AndTheSmallMessageAreTheSameRecords) {
    // EBCDIC 37: the UTF-8 document's text, one byte a character, walked to the same tree.
    const std::string ebcdic = DocumentGenerator(5).document(100 * 1024, DocumentGenerator::Encoding::Ebcdic37);
    std::string utf8 = DocumentGenerator(5).utf8Document(100 * 1024);
    const KelStringBase decoded = KelConverter::setCodepage(37)->toUnicode(
        reinterpret_cast<const unsigned char*>(ebcdic.data()), static_cast<long>(ebcdic.size()), false, 0);
    utf8.replace(utf8.find("encoding=\"UTF-8\""), 16, "encoding=\"IBM037\"");
    EXPECT_EQ(decoded.toUtf8(), utf8);
    EXPECT_EQ(decoded.length(), ebcdic.size());
    const std::string original = DocumentGenerator(5).utf8Document(100 * 1024);
    QuarnWorkloads narrow(viewOf(original), 1208);
    QuarnWorkloads paged(viewOf(ebcdic), 37);
    EXPECT_EQ(narrow.fullWalk().elements, paged.fullWalk().elements);

    // The small message: records without a document type, whose field the workload reads.
    const std::string message = DocumentGenerator(7).utf8Message(1000);
    EXPECT_GE(message.size(), 1000u);
    EXPECT_LT(message.size(), 2000u);
    EXPECT_EQ(countOf(message, "<!DOCTYPE"), 0u);
    EXPECT_EQ(countOf(message, "&supplier;"), 0u);
    QuarnWorkloads small(viewOf(message), 1208);
    const std::size_t start = message.find("<name>") + 6;
    EXPECT_EQ(small.fieldLength({"batch", "order", "customer", "name"}),
              KelStringBase::fromUtf8(message.substr(start, message.find("</name>") - start)).length());
    EXPECT_EQ(small.fieldLength({"batch", "nowhere"}), 0u);
}

TEST(BenchWorkloadTest, FieldOfTheSmallMessageScansOnlyItsFirstRecord) {
    // The small-message figure is of a lazy read: reading the first record's field must leave
    // the records after it unscanned, or the figure is that of a full parse.
    const std::string message = DocumentGenerator(7).utf8Message(1000);
    QuarnWorkloads small(viewOf(message), 1208);
    ASSERT_GT(small.fieldLength({"batch", "order", "customer", "name"}), 0u);
    EXPECT_LT(small.parser().treeBuilder()->bytesConsumed(), static_cast<long>(message.find("</order>")));
}

TEST(BenchWorkloadTest, WalkScansTheWholeDocumentAndFirstChildOnlyItsStart) {
    const std::string doc = DocumentGenerator(9).utf8Document(2 * 1024 * 1024);
    QuarnWorkloads first(viewOf(doc), 1208);
    KelSyntaxElement* child = first.firstChildOfDocumentElement();
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(child->type(), XmlTypeAttribute);
    EXPECT_EQ(child->name().toUtf8(), "id");
    EXPECT_LT(first.parser().treeBuilder()->bytesConsumed(), 128 * 1024);

    QuarnWorkloads walk(viewOf(doc), 1208);
    const QuarnWorkloads::WalkResult result = walk.fullWalk();
    EXPECT_EQ(walk.parser().treeBuilder()->bytesConsumed(), static_cast<long>(doc.size()));
    EXPECT_GT(result.elements, countOf(doc, "<") + countOf(doc, "='"));
    // A second walk after a refresh builds the same tree again.
    walk.refresh();
    EXPECT_EQ(walk.fullWalk().elements, result.elements);

    XercesScanFloor floor;
    const auto* bytes = reinterpret_cast<const unsigned char*>(doc.data());
    const std::size_t events = floor.scan(bytes, doc.size(), u"UTF-8");
    EXPECT_GE(events, 2 * countOf(doc, "</"));
    EXPECT_EQ(floor.scan(bytes, doc.size(), u"UTF-8"), events);
    const std::string utf16 = DocumentGenerator(9).document(4 * 1024 * 1024, DocumentGenerator::Encoding::Utf16Le);
    EXPECT_EQ(floor.scan(reinterpret_cast<const unsigned char*>(utf16.data()), utf16.size(), u"UTF-16LE"), events);
}

TEST(BenchWorkloadTest, WritesKeepTheMessage) {
    const std::string doc = DocumentGenerator(11).utf8Document(300 * 1024);
    QuarnWorkloads work(viewOf(doc), 1208);
    KelWriteBuffer out(1208);
    EXPECT_EQ(work.passThrough(out), static_cast<int>(doc.size()));
    EXPECT_EQ(out.toString(), doc);

    // The edit changes the last item's quantity and nothing else.
    const std::string before = shapeOf(work);
    work.refresh();
    out.clear();
    work.editDeepAttributeAndWrite(DocumentGenerator::deepAttributeName(), "12345", out);
    const std::string edited = out.toString();
    EXPECT_EQ(countOf(edited, "qty='12345'"), 1u);
    EXPECT_LT(edited.rfind("qty='12345'"), edited.size());
    EXPECT_GT(edited.rfind("qty='12345'"), edited.rfind("<item "));
    QuarnWorkloads reread(viewOf(edited), 1208);
    const std::string after = shapeOf(reread);
    std::string expected = before;
    const std::size_t at = expected.rfind(":qty=");
    ASSERT_NE(at, std::string::npos);
    expected.replace(at + 5, expected.find('\n', at) - at - 5, "12345");
    EXPECT_EQ(after, expected);

    // Written in EBCDIC and in UTF-16, the message reads back as the same tree, except that its
    // declaration now names the page it is written in.
    const std::string declared = ":=UTF-8\n";
    ASSERT_NE(before.find(declared), std::string::npos);
    for (const auto& [ccsid, name] : {std::pair<int, const char*>{37, "IBM037"}, {1200, "UTF-16"}}) {
        QuarnWorkloads source(viewOf(doc), 1208);
        source.fullWalk();
        KelWriteBuffer converted(ccsid);
        source.writeTree(converted, ccsid);
        const std::string bytes = converted.toString();
        QuarnWorkloads back(viewOf(bytes), ccsid);
        std::string expectedShape = before;
        expectedShape.replace(expectedShape.find(declared), declared.size(), ":=" + std::string(name) + "\n");
        const std::string shape = shapeOf(back);
        EXPECT_TRUE(shape == expectedShape) << ccsid << ": differs from line "
            << std::count(shape.begin(), std::mismatch(shape.begin(), shape.end(), expectedShape.begin(), expectedShape.end()).first, '\n')
            << ", tail read back: [" << shape.substr(shape.size() > 200 ? shape.size() - 200 : 0)
            << "], tail expected: [" << expectedShape.substr(expectedShape.size() > 200 ? expectedShape.size() - 200 : 0) << "]";
    }
}

// Checking a bitstream without building a tree must agree with a full parse: the same verdict,
// the same failure (number, scanner inserts, element name), the same limits and the same element
// count, and it must leave the parser's own tree and scan alone.
#include "BuilderTestDocument.hpp"

#include "tests/support/ConformanceManifest.hpp"
#include "tests/support/HostileDocuments.hpp"
#include "tests/support/TestDocumentCodePage.hpp"

#include <string>
#include <vector>

namespace {

using Doc = BuilderTestDocument;

// Sanitizer builds run each parse many times slower: they compare every fourth case of the suite.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kSuiteStride = 4;
#else
constexpr int kSuiteStride = 1;
#endif

// What a full parse says: the elements of the whole tree (root included), or the scanner's failure.
struct Verdict {
    long elements = -1;
    std::string failure;   // the innermost exception's one-line summary
};

std::string innermost(const KelException& e) {
    const KelException* x = &e;
    while (!x->nested().empty()) x = x->nested().front().get();
    return x->summary();
}

Verdict fullParse(const std::string& bytes, int ccsid, int encoding, const XmlBuilderLimits* limits = nullptr) {
    Doc doc(bytes, ccsid, encoding);
    if (limits) {
        doc.builder()->setLimits(*limits);
        doc.load(bytes, ccsid, encoding);   // limits apply from the next bitstream on
    }
    Verdict v;
    try {
        long count = 0;
        KelSyntaxElement* root = doc.root();
        for (KelSyntaxElement* e = root; e;) {
            ++count;
            if (KelSyntaxElement* c = e->firstChild()) {
                e = c;
                continue;
            }
            while (e && e != root && !e->nextSibling()) e = e->parent();
            e = (e && e != root) ? e->nextSibling() : nullptr;
        }
        v.elements = count;
    } catch (const KelException& e) {
        v.failure = innermost(e);
    }
    return v;
}

Verdict treelessCheck(const std::string& bytes, int ccsid, int encoding, const XmlBuilderLimits* limits = nullptr) {
    Doc doc("<unused/>");
    if (limits) doc.builder()->setLimits(*limits);
    Verdict v;
    try {
        v.elements = doc.parser.checkBitStream(KelBuffer::fromString(bytes), encoding, ccsid);
    } catch (const KelParserException& e) {
        scannerError(e);
        EXPECT_EQ(e.function(), "XmlKelParser::checkBitStream");
        v.failure = innermost(e);
    }
    // The parser's own tree was neither built nor touched.
    EXPECT_EQ(doc.parser.elementPool().elementCount(), 1u);
    return v;
}

void expectSameVerdict(const std::string& what, const std::string& bytes, int ccsid = 1208, int encoding = 546,
                       const XmlBuilderLimits* limits = nullptr) {
    const Verdict full = fullParse(bytes, ccsid, encoding, limits);
    const Verdict check = treelessCheck(bytes, ccsid, encoding, limits);
    EXPECT_EQ(check.failure, full.failure) << what;
    EXPECT_EQ(check.elements, full.elements) << what;
    if (limits) {
        EXPECT_NE(full.failure.find("QRV5011E"), std::string::npos) << what << ": the limit did not trip";
    }
}

TEST(TreelessCheck, AgreesWithAFullParseOverTheConformanceSuite) {
    const std::string manifest = std::string(QUARN_CONFORMANCE_DIR) + "/xmlconf.xml";
    bool present = false;
    ConformanceManifest::readFile(manifest, &present);
    if (!present) GTEST_SKIP() << "no conformance suite at " << manifest;
    int compared = 0, failing = 0, index = 0;
    for (const ConformanceCase& c : ConformanceManifest::read(manifest)) {
        if (!ConformanceManifest::notApplicable(c).empty() || index++ % kSuiteStride != 0) continue;
        bool readable = false;
        const std::string bytes = ConformanceManifest::readFile(c.path(), &readable);
        if (!readable) continue;
        const TestDocumentCodePage page = TestDocumentCodePage::of(bytes);
        const Verdict full = fullParse(bytes, page.ccsid, page.encoding);
        const Verdict check = treelessCheck(bytes, page.ccsid, page.encoding);
        ++compared;
        if (!full.failure.empty()) ++failing;
        EXPECT_EQ(check.failure, full.failure) << c.id;
        EXPECT_EQ(check.elements, full.elements) << c.id;
    }
    EXPECT_GT(compared, 700 / kSuiteStride);
    EXPECT_GT(failing, 300 / kSuiteStride) << "the suite's broken documents were compared too";
}

TEST(TreelessCheck, CountsAndFailuresMatchInEveryCodePageAndAtTheEdges) {
    const std::string doc = "<?xml version='1.0'?><!DOCTYPE r [<!ENTITY e 'x<i/>y'><!ATTLIST r a CDATA 'd'>]>"
                            "<r>t&e;t<![CDATA[c]]>more<?pi data?><!-- c --><s/>&#65;<s>x</s></r>";
    expectSameVerdict("utf-8", doc);
    expectSameVerdict("utf-16le", encodeAs(doc, 1200, -1), 1200, 546);
    expectSameVerdict("utf-16be", encodeAs(doc, 1200, 1), 1200, 273);
    expectSameVerdict("ebcdic", encodeAs(doc, 37), 37, 546);
    expectSameVerdict("truncated", doc.substr(0, doc.size() - 3));
    expectSameVerdict("odd utf-16", encodeAs(doc, 1200, -1) + "x", 1200, 546);
    expectSameVerdict("bad version", "<?xml version='1.0?'?><r/>");
    expectSameVerdict("failure names the open element", "<a><b><c></b></a>");
    expectSameVerdict("failure inside the internal subset", "<!DOCTYPE r [<!ELEMENT r (a|)>]><r/>");
    expectSameVerdict("second root", "<r/><s/>");
    // The scanner pads an expansion between declarations with a space, which the builder drops.
    expectSameVerdict("declaration after an expansion", "<!DOCTYPE r [<!ENTITY % p '<!--c-->'>%p;<!ELEMENT r ANY>]><r/>");
    expectSameVerdict("blank after an expansion", "<!DOCTYPE r [<!ENTITY % p '<!--c-->'>%p; <!--d-->]><r/>");
    expectSameVerdict("blank after an unread expansion", "<!DOCTYPE r [<!ENTITY % p SYSTEM 'p.ent'>%p;\n]><r/>");
    // Nothing to scan at all is the same fault a full parse's tree checks find.
    Doc empty("<unused/>");
    try {
        empty.parser.checkBitStream(KelBuffer(), 546, 1208);
        ADD_FAILURE() << "an empty bitstream passed the check";
    } catch (const KelParserException& e) {
        EXPECT_EQ(innermost(e).find("QRV5005E"), 0u) << e.what();
    }
}

TEST(TreelessCheck, AppliesTheTreeBuildersLimits) {
    const std::string doc = "<!DOCTYPE r [<!ENTITY e 'abcdefghij'>]><r a='1' b='2'><s><t>&e;&e;&e;&e;</t></s>"
                            "<longname_longname/></r>";
    XmlBuilderLimits limits;
    limits.elementCount = 8;
    expectSameVerdict("element count", doc, 1208, 546, &limits);
    limits = XmlBuilderLimits();
    limits.nestingDepth = 2;
    expectSameVerdict("nesting depth", doc, 1208, 546, &limits);
    limits = XmlBuilderLimits();
    limits.attributesPerElement = 1;
    expectSameVerdict("attributes", doc, 1208, 546, &limits);
    limits = XmlBuilderLimits();
    limits.nameLength = 10;
    expectSameVerdict("name length", doc, 1208, 546, &limits);
    limits = XmlBuilderLimits();
    limits.amplificationThreshold = 0;
    limits.amplificationFactor = 1;
    expectSameVerdict("amplification", doc, 1208, 546, &limits);
    limits = XmlBuilderLimits();
    limits.entityDepth = 0;
    expectSameVerdict("entity depth", doc, 1208, 546, &limits);
    limits = XmlBuilderLimits();
    limits.entityExpansions = 3;
    expectSameVerdict("expansions", doc, 1208, 546, &limits);
    limits = XmlBuilderLimits();
    limits.scannerMemoryThreshold = 1 << 20;
    limits.scannerMemoryFactor = 1;
    std::string model = "a";
    for (int i = 0; i < 20000; ++i) model += ",a";
    expectSameVerdict("scanner memory",
                      "<!DOCTYPE r [<!ENTITY e 'abcdefghij'><!ELEMENT r (" + model + ")>]>" + doc.substr(doc.find("<r ")),
                      1208, 546, &limits);
}

// The check shares the builder's limits and metering, so every hostile shape ends the same way
// in both: the same limit at the same place, or the same fault.
TEST(TreelessCheck, RefusesEveryHostileDocumentAsAFullParseDoes) {
    for (const HostileDocument& doc : HostileDocuments::all()) {
        if (doc.text.empty()) continue;   // nothing to scan: the case above
        expectSameVerdict(doc.shape, doc.text);
    }
}

TEST(TreelessCheck, LeavesALazyParseWhereItWas) {
    const std::string text = "<m><h id='1'/><body><x>1</x><x>2</x></body></m>";
    Doc doc(text);
    KelSyntaxElement* h = Doc::child(doc.documentElement(), XmlTypeElement);
    ASSERT_NE(h, nullptr);
    const std::size_t built = doc.parser.elementPool().elementCount();
    EXPECT_EQ(doc.parser.checkBitStream(doc.parser.storedBitStream(), 546, 1208), fullParse(text, 1208, 546).elements);
    EXPECT_THROW(doc.parser.checkBitStream(KelBuffer::fromString("<m><h></m>"), 546, 1208), KelParserException);
    EXPECT_EQ(doc.parser.elementPool().elementCount(), built);
    // The lazy parse goes on from where it stood.
    Doc fresh(text);
    EXPECT_EQ(doc.describe(), fresh.describe());
}

} // namespace

namespace {

// The scanner's own exception of a full parse or of a check, or null when it passes.
struct Failure {
    bool failed = false;
    std::string element;
    long line = 0, column = 0, offset = -1;
};

Failure placeOf(const KelException& e) {
    Failure f;
    f.failed = true;
    const auto* inner = dynamic_cast<const KelParserException*>(&scannerError(e));
    if (inner == nullptr) return f;
    f.element = inner->faultElement().toUtf8();
    f.line = inner->documentLine();
    f.column = inner->documentColumn();
    f.offset = inner->documentOffset();
    return f;
}

} // namespace

TEST(TreelessCheck, NamesTheSameElementAndPlaceForAStartTagThatBreaksALimit) {
    // A limit broken by a start tag is that tag's own element's fault, in a check as in a parse.
    const std::string doc = "<r>\n  <a x='1'><b y='2' z='3'><longer_than_ten/></b></a>\n</r>";
    XmlBuilderLimits depth, attributes, name;
    depth.nestingDepth = 2;
    attributes.attributesPerElement = 1;
    name.nameLength = 10;
    for (const XmlBuilderLimits* limits : {&depth, &attributes, &name}) {
        Failure full, check;
        {
            Doc d(doc);
            d.builder()->setLimits(*limits);
            d.load(doc);
            try {
                Doc::child(Doc::child(d.documentElement(), XmlTypeElement), XmlTypeElement)->lastChild();
            } catch (const KelException& e) {
                full = placeOf(e);
            }
        }
        {
            Doc d("<unused/>");
            d.builder()->setLimits(*limits);
            try {
                d.parser.checkBitStream(KelBuffer::fromString(doc), 546, 1208);
            } catch (const KelParserException& e) {
                check = placeOf(e);
            }
        }
        ASSERT_TRUE(full.failed);
        ASSERT_TRUE(check.failed);
        EXPECT_EQ(check.element, full.element);
        EXPECT_EQ(check.line, full.line);
        EXPECT_EQ(check.column, full.column);
        EXPECT_EQ(check.offset, full.offset);
    }
}

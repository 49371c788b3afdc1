// The parser class: domains, on-demand parsing, the serialisation entry and the tree checks.
#include "builder/XmlBrokerOrvaneParser.hpp"
#include "host/KelMessageGroup.hpp"
#include "host/KelSyntaxElementAccess.hpp"
#include "host/KelLog.hpp"
#include "host/KelThrow.hpp"
#include "host/KelWriteBuffer.hpp"
#include "common/XmlElementType.hpp"
#include "parser/XmlKelParser.hpp"
#include "parser/XmlKelSyntaxElement.hpp"

#include "LibxmlReading.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {
struct ParserTest : ::testing::Test {
    KelMessageGroup group;
    XmlKelParser parser{&group, true};
    void SetUp() override { parser.initialize(); }
    void parse(const std::string& document, int ccsid = 1208, int encoding = 546) {
        parser.refreshElementsFromBitStream(nullptr, KelBuffer::fromString(document), encoding, ccsid);
    }
    KelSyntaxElement* root() { return parser.rootElement(); }
    unsigned long steps() { return parser.treeBuilder()->stepCount(); }
    // A hand-built tree under the root.
    KelSyntaxElement* add(KelSyntaxElement* parent, int type, const char* name) {
        KelSyntaxElement* e = parent->createLastChild(KelStringBase::fromUtf8(name));
        e->setType(type);
        return e;
    }
    template <class F> KelException failure(F f) {
        try {
            f();
        } catch (const KelException& e) {
            return e;
        }
        ADD_FAILURE() << "no exception";
        return KelException(nullptr, 0, "", "", 0, "");
    }
};

class RecordingBuffer : public KelWriteBuffer {
public:
    using KelWriteBuffer::KelWriteBuffer;
    void enlarge(long total) override {
        enlargements.push_back(total);
        KelWriteBuffer::enlarge(total);
    }
    std::vector<long> enlargements;
};
} // namespace

TEST(XmlKelParserDomains, KindsNameTheRootAndTheClass) {
    KelMessageGroup group;
    struct Case { int kind; const char* root; const char* cls; } cases[] = {
        {0, "XML", "xml"}, {1, "JMSMap", "jms_map"}, {2, "JMSStream", "jms_stream"}, {3, "XML", "xml"}, {-1, "XML", "xml"}};
    for (const Case& c : cases) {
        XmlKelParser p(&group, KelStringBase(u"SomeDomain"), c.kind, true);
        p.initialize();
        EXPECT_EQ(p.rootElement()->name().toUtf8(), c.root) << c.kind;
        EXPECT_EQ(p.rootElement()->type(), XmlTypeRoot);
        EXPECT_EQ(p.parserClassName().toUtf8(), c.cls) << c.kind;
        EXPECT_EQ(p.parserGroupName().toUtf8(), "xml");
        EXPECT_TRUE(p.domainName().empty());       // only setParserDomainName fills it
        EXPECT_TRUE(p.parserType());
    }
    EXPECT_EQ(XmlKelParser::rootName().toUtf8(), "XML");
    EXPECT_EQ(XmlKelParser::className().toUtf8(), "XML");
    EXPECT_EQ(XmlKelParser::staticFunctionName().toUtf8(), "file:///");
    XmlKelParser p(&group, true);
    p.setParserDomainName(KelStringBase(u"MyDomainName"));
    EXPECT_EQ(p.domainName().toUtf8(), "MyDomainName");
    p.callElementConstructor(nullptr);              // constructs nothing, fails not
    p.initialize();
    EXPECT_EQ(dynamic_cast<XmlKelSyntaxElement*>(p.rootElement())->getBufferStart(), nullptr);
}

TEST_F(ParserTest, NavigationScansOnlyWhatItNeeds) {
    std::string doc = "<r>";
    for (int i = 0; i < 5000; ++i) doc += "<i n='" + std::to_string(i) + "'>text</i>";
    doc += "</r>";
    parse(doc);
    EXPECT_EQ(steps(), 0u);                          // nothing scanned before navigation
    KelSyntaxElement* r = root()->firstChild();
    ASSERT_NE(r, nullptr);
    KelSyntaxElement* first = r->firstChild();
    ASSERT_NE(first, nullptr);
    unsigned long afterFirst = steps();
    EXPECT_LT(afterFirst, 10u);
    EXPECT_LT(parser.treeBuilder()->bytesConsumed(), 200);
    parser.parseFirstChild(r);                       // already complete-left: no scanning
    EXPECT_EQ(steps(), afterFirst);
    parser.parseRightSibling(root());                // the root has no parent
    EXPECT_EQ(steps(), afterFirst);
    KelSyntaxElement* second = first->nextSibling(); // stops once the sibling is attached
    ASSERT_NE(second, nullptr);
    EXPECT_FALSE(second->isCompleteRight());
    parser.parseLeftSibling(second);
    EXPECT_EQ(second->previousSibling(), first);
    r->lastChild();
    EXPECT_EQ(r->knownLastChild()->knownFirstChild()->actualValue().valueAsCharacter().toUtf8(), "4999");
}

TEST_F(ParserTest, ANewBitstreamRestartsTheScan) {
    parse("<first><a/></first>");
    EXPECT_EQ(root()->firstChild()->name().toUtf8(), "first");
    parse("<second/>");
    EXPECT_EQ(root()->firstChild()->name().toUtf8(), "second");
    EXPECT_EQ(root()->firstChild()->nextSibling(), nullptr);
    EXPECT_EQ(parser.refreshElementsFromBitStream(nullptr, KelBuffer::fromString("<x/>\n\n\n"), 546, 1208), 7);
    KelSyntaxElement* x = root()->firstChild();
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->name().toUtf8(), "x");
}

TEST_F(ParserTest, ParseErrorsBecome5009WithTheScannerErrorNested) {
    parse("<r><a>text</r>");
    KelSyntaxElement* r = root()->firstChild();
    KelSyntaxElement* a = r->firstChild();
    ASSERT_NE(a, nullptr);
    KelException e = failure([&] { root()->lastChild(); });
    EXPECT_EQ(e.messageNumber(), 0xC0001391u);
    EXPECT_EQ(e.text(), "XML Parsing Errors have occurred");
    EXPECT_EQ(e.function(), "KelXmlParser::parseLastChild");
    ASSERT_EQ(e.nested().size(), 1u);
    EXPECT_EQ(e.nested()[0]->catalogueNumber(), 5004u);
    ASSERT_EQ(e.nested()[0]->inserts().size(), 6u);
    EXPECT_EQ(e.nested()[0]->inserts()[5], "a");      // the element being filled
    // What was built stays; asking again reports the error again instead of looping.
    EXPECT_EQ(r->knownFirstChild(), a);
    EXPECT_EQ(a->knownFirstChild()->actualValue().valueAsCharacter().toUtf8(), "text");
    KelException again = failure([&] { r->lastChild(); });
    EXPECT_EQ(again.catalogueNumber(), 5009u);
    ASSERT_EQ(again.nested().size(), 1u);
    EXPECT_EQ(again.nested()[0]->inserts(), e.nested()[0]->inserts());   // the same place
    EXPECT_THROW(a->nextSibling(), KelParserException);
    // An edit of what was built is kept, but the tree is not written as if the message ended at
    // the error: the write raises the same error under 5010, and writes nothing.
    a->setName(KelStringBase(u"b"));
    EXPECT_EQ(a->name().toUtf8(), "b");
    KelWriteBuffer out(1208);
    KelException write = failure([&] { parser.refreshBitStreamFromElements(nullptr, &out, root(), 546, 1208); });
    EXPECT_EQ(write.catalogueNumber(), 5010u);
    ASSERT_EQ(write.nested().size(), 1u);
    EXPECT_EQ(write.nested()[0]->catalogueNumber(), 5009u);
    ASSERT_EQ(write.nested()[0]->nested().size(), 1u);
    EXPECT_EQ(write.nested()[0]->nested()[0]->inserts(), e.nested()[0]->inserts());
    EXPECT_EQ(out.used(), 0);
}

// Navigation answers and fails alike with tracing off and on; while on, each scan call behind
// firstChild and nextSibling writes its entry line and, failing or not, its exit line, and while
// off it writes nothing.
TEST_F(ParserTest, NavigationTracesItsScansOnlyWhileTracingAndFailsAlikeEitherWay) {
    const std::string path = ::testing::TempDir() + "quarn-nav-trace-" + std::to_string(::getpid()) + ".log";
    auto count = [](const std::string& text, const std::string& what) {
        int n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    };
    for (int level : {0, 3}) {
        SCOPED_TRACE(level);
        std::remove(path.c_str());
        KelLog::setFile(path);
        KelLog::setLevel(level);
        parse("<r><a/><b>x</b><c>y</r>");
        KelSyntaxElement* r = root()->firstChild();
        ASSERT_NE(r, nullptr);
        KelSyntaxElement* a = r->firstChild();
        ASSERT_NE(a, nullptr);
        KelSyntaxElement* b = a->nextSibling();
        KelSyntaxElement* c = b ? b->nextSibling() : nullptr;
        KelSyntaxElement* y = c ? c->firstChild() : nullptr;
        KelException e = failure([&] { if (y) y->nextSibling(); });
        KelLog::setLevel(0);
        KelLog::setFile("");
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        const std::string log = text.str();
        std::remove(path.c_str());
        ASSERT_NE(y, nullptr);
        EXPECT_EQ(b->name().toUtf8(), "b");
        EXPECT_EQ(c->name().toUtf8(), "c");
        EXPECT_EQ(y->actualValue().valueAsCharacter().toUtf8(), "y");
        EXPECT_EQ(e.catalogueNumber(), 5009u);
        EXPECT_EQ(e.function(), "KelXmlParser::parseRightSibling");
        ASSERT_EQ(e.nested().size(), 1u);
        EXPECT_EQ(e.nested()[0]->catalogueNumber(), 5004u);
        const int firstEntries = count(log, "Entry XmlKelParser::parseFirstChild");
        const int siblingEntries = count(log, "Entry KelXmlParser::parseRightSibling");
        if (level == 0) {
            EXPECT_EQ(firstEntries + siblingEntries, 0) << log;
        } else {
            EXPECT_GE(firstEntries, 3) << log;
            EXPECT_GE(siblingEntries, 3) << log;
            EXPECT_EQ(count(log, "Exit XmlKelParser::parseFirstChild"), firstEntries) << log;
            EXPECT_EQ(count(log, "Exit KelXmlParser::parseRightSibling"), siblingEntries) << log;
            EXPECT_NE(log.find("KelXmlParser::parseRightSibling \"Throwing exception\""), std::string::npos) << log;
        }
    }
}

// An empty bitstream is no document: navigating it fails as the tree-less check does (no body,
// 5005, under the navigation's 5009), whether its bytes are absent or merely none, and asking
// again says the same. A parser never given a bitstream holds a tree built by hand: empty, complete.
TEST_F(ParserTest, AnEmptyBitstreamIsNoDocument) {
    const std::string none;
    for (const KelBuffer& empty : {KelBuffer(), KelBuffer::fromString(none)}) {
        parser.refreshElementsFromBitStream(nullptr, empty, 546, 1208);
        for (int attempt = 0; attempt < 2; ++attempt) {
            KelException e = failure([&] { root()->firstChild(); });
            EXPECT_EQ(e.catalogueNumber(), 5009u);
            EXPECT_EQ(e.function(), "XmlKelParser::parseFirstChild");
            ASSERT_EQ(e.nested().size(), 1u);
            EXPECT_EQ(e.nested()[0]->catalogueNumber(), 5005u);
            EXPECT_EQ(failure([&] { root()->lastChild(); }).nested().at(0)->catalogueNumber(), 5005u);
        }
        KelException checked = failure([&] { parser.checkBitStream(empty, 546, 1208); });
        EXPECT_EQ(checked.catalogueNumber(), 5009u);
        ASSERT_EQ(checked.nested().size(), 1u);
        EXPECT_EQ(checked.nested()[0]->catalogueNumber(), 5005u);
    }
    XmlKelParser byHand(&group, true);
    byHand.initialize();
    EXPECT_EQ(byHand.rootElement()->firstChild(), nullptr);
    EXPECT_EQ(byHand.rootElement()->lastChild(), nullptr);
}

TEST_F(ParserTest, ReusePathCopiesTheStoredBitstreamWhole) {
    std::string doc = "<?xml version='1.0'?><r a='1'>  <b/>\n</r>\n";
    parse(doc);
    parser.setReuseBitStream(true);
    long n = static_cast<long>(doc.size());
    RecordingBuffer roomy(1208, 10 + n + 1);
    roomy.append("0123456789", 10);
    EXPECT_EQ(parser.refreshBitStreamFromElements(nullptr, &roomy, root(), 546, 1208), n);
    EXPECT_TRUE(roomy.enlargements.empty());
    RecordingBuffer out(1208, 10 + n);                // one byte short of the copy and its zero
    out.append("0123456789", 10);
    int result = parser.refreshBitStreamFromElements(nullptr, &out, root(), 546, 1208);
    EXPECT_EQ(result, n);
    EXPECT_EQ(out.toString(), "0123456789" + doc);
    EXPECT_EQ(out.data()[out.used()], 0);
    EXPECT_EQ(out.enlargements, (std::vector<long>{10 + n + 1}));
    EXPECT_EQ(steps(), 0u);                           // not even scanned
    // Writing anew (another ccsid) gives the same text in UTF-16 with its mark, and the whole used length.
    RecordingBuffer utf16(1200);
    int written = parser.refreshBitStreamFromElements(nullptr, &utf16, root(), 546, 1200);
    EXPECT_EQ(written, utf16.used());
    EXPECT_EQ(utf16.used(), 2 + 2 * n);
    EXPECT_EQ(utf16.data()[0], 0xFF);
}

TEST_F(ParserTest, ReusePathSkipsChecksOnlyForTheWholeUnchangedDocument) {
    parse("");
    parser.setReuseBitStream(true);
    KelWriteBuffer out(1208);
    EXPECT_EQ(parser.refreshBitStreamFromElements(nullptr, &out, root(), 546, 1208), 0);
    EXPECT_EQ(out.used(), 0);
    EXPECT_EQ(out.data()[0], 0);
    // The same empty document written anew must be parsed, which fails: a write error.
    KelException e = failure([&] { parser.refreshBitStreamFromElements(nullptr, &out, root(), 546, 1200); });
    EXPECT_EQ(e.catalogueNumber(), 5010u);
    EXPECT_EQ(e.text(), "XML Writing Errors have occurred");
    ASSERT_EQ(e.nested().size(), 1u);
    EXPECT_EQ(e.nested()[0]->catalogueNumber(), 5009u);
    // A tree without a body fails the checks, also as a write error.
    XmlKelParser empty(&group, true);
    empty.initialize();
    KelException noBody = failure([&] { empty.refreshBitStreamFromElements(nullptr, &out, empty.rootElement(), 546, 1208); });
    EXPECT_EQ(noBody.catalogueNumber(), 5010u);
    ASSERT_EQ(noBody.nested().size(), 1u);
    EXPECT_EQ(noBody.nested()[0]->catalogueNumber(), 5005u);
}

TEST_F(ParserTest, UnresolvedElementWhileWritingIs5010With2334Nested) {
    parse("<r><a/></r>");
    KelSyntaxElementAccess::setUnresolved(root()->firstChild()->firstChild(), true);
    KelWriteBuffer out(1208);
    KelException e = failure([&] { parser.refreshBitStreamFromElements(nullptr, &out, root(), 546, 1208); });
    EXPECT_EQ(e.catalogueNumber(), 5010u);
    ASSERT_EQ(e.nested().size(), 1u);
    EXPECT_EQ(e.nested()[0]->messageNumber(), 0x8000091Eu);
}

// A host that appends message parts into one buffer, or reuses it after a failure, sends what
// it holds: a write refused part way (a flush of thousands of records already converted) hands the
// buffer back as it took it, and the next message written into it is whole.
TEST_F(ParserTest, ARefusedWriteLeavesTheBufferAsItTookIt) {
    std::string records = "<r>";
    for (int i = 0; i < 5000; ++i) records += "<i n='" + std::to_string(i) + "'>text</i>";
    records += "<z>last</z></r>";
    auto lastRecord = [](XmlKelParser& p) { return p.rootElement()->firstChild()->lastChild(); };
    struct Case {
        const char* what;
        std::string document;
        std::function<void(XmlKelParser&)> edit;
        int ccsid;
        unsigned nested;   // the cause under 5010
    };
    const Case cases[] = {
        {"a name the page cannot carry, after the records", records,
         [&](XmlKelParser& p) { lastRecord(p)->setName(KelStringBase(u"\u20ACz")); }, 819, 2341},
        {"the same in EBCDIC", records, [&](XmlKelParser& p) { lastRecord(p)->setName(KelStringBase(u"\u20ACz")); },
         37, 2341},
        {"a name that is no name, after the records", records,
         [&](XmlKelParser& p) { lastRecord(p)->setName(KelStringBase(u"a b")); }, 1208, 5008},
        {"a comment holding --, in UTF-16", records,
         [&](XmlKelParser& p) {
             KelSyntaxElement* c = lastRecord(p)->createAfter(KelStringBase());
             c->setType(XmlTypeComment);
             c->setValue(KelStringBase(u"a--b"));
         },
         1200, 5006},
        {"a broken rest past the frontier", "<r><a>1</a><b>2</x></r>",
         [](XmlKelParser& p) { p.rootElement()->firstChild()->firstChild()->setName(KelStringBase(u"c")); }, 1208, 5009},
        {"no element to write", "<r/>", [](XmlKelParser&) {}, 1208, 5003},
        // A page no converter exists for; -1 is also what the writer's remembered answers per
        // page started from, and was taken for a page whose answers were known.
        {"a page that does not exist", records, [&](XmlKelParser& p) { lastRecord(p)->setName(KelStringBase(u"y")); },
         99999, 2340},
        {"the page -1", records, [&](XmlKelParser& p) { lastRecord(p)->setName(KelStringBase(u"y")); }, -1, 2340},
        // Half a surrogate pair set by the host, into UTF-16, which copied it as it stood.
        {"an unpaired surrogate, in UTF-16", records,
         [&](XmlKelParser& p) { lastRecord(p)->lastChild()->setValue(KelStringBase(std::u16string(u"x\xD800"))); },
         1200, 2341},
    };
    for (const Case& c : cases) {
        XmlKelParser p(&group, true);
        p.initialize();
        p.refreshElementsFromBitStream(nullptr, KelBuffer::fromString(c.document), 546, 1208);
        c.edit(p);
        KelWriteBuffer out(c.ccsid);
        out.append("HDR", 3);
        KelSyntaxElement* element = c.nested == 5003 ? nullptr : p.rootElement();
        KelException e = failure([&] { p.refreshBitStreamFromElements(nullptr, &out, element, 546, c.ccsid); });
        EXPECT_EQ(e.catalogueNumber(), 5010u) << c.what;
        ASSERT_EQ(e.nested().size(), 1u) << c.what;
        EXPECT_EQ(e.nested()[0]->catalogueNumber(), c.nested) << c.what;
        // Compared by length first: a failure must not print the bytes of thousands of records.
        EXPECT_EQ(out.used(), 3) << c.what;
        EXPECT_EQ(out.toString().substr(0, 3), "HDR") << c.what;
        EXPECT_EQ(out.data()[out.used()], 0) << c.what;
        // The next message through the same parser, into the same buffer, comes out whole.
        const std::string next = "<?xml version='1.0'?><s k='v'><t>x</t></s>";
        p.refreshElementsFromBitStream(nullptr, KelBuffer::fromString(next), 546, 1208);
        p.rootElement()->firstChild()->nextSibling()->firstChild()->setValue(KelStringBase(u"w"));
        out.clear();
        out.append("HDR", 3);
        p.refreshBitStreamFromElements(nullptr, &out, p.rootElement(), 546, 1208);
        EXPECT_EQ(out.toString(), "HDR<?xml version='1.0'?><s k='w'><t>x</t></s>") << c.what;
        EXPECT_TRUE(libxml_reading::readsAs(out.toString().substr(3), "<s k='w'><t>x</t></s>")) << c.what;
    }
    // No buffer to write into is refused as no element is, not followed.
    parse("<r/>");
    for (const bool reuse : {false, true}) {
        parser.setReuseBitStream(reuse);
        KelException e = failure([&] { parser.refreshBitStreamFromElements(nullptr, nullptr, root(), 546, 1208); });
        EXPECT_EQ(e.catalogueNumber(), 5010u);
        ASSERT_EQ(e.nested().size(), 1u);
        EXPECT_EQ(e.nested()[0]->catalogueNumber(), 5003u);
    }
    // One element on its own is one of this parser's elements, not its root (the whole message),
    // and a refusal leaves the buffer as it was.
    parse("<r><a x='1'/></r>");
    XmlKelParser other(&group, true);
    other.initialize();
    other.refreshElementsFromBitStream(nullptr, KelBuffer::fromString("<o/>"), 546, 1208);
    KelWriteBuffer one(1208);
    one.append("HDR", 3);
    for (KelSyntaxElement* e : {static_cast<KelSyntaxElement*>(nullptr), root(), other.rootElement()->firstChild()}) {
        KelException f = failure([&] { parser.writeFragment(&one, e, 546, 1208); });
        EXPECT_EQ(f.catalogueNumber(), 5010u);
        ASSERT_EQ(f.nested().size(), 1u);
        EXPECT_EQ(f.nested()[0]->catalogueNumber(), 5003u);
        EXPECT_EQ(one.toString(), "HDR");
    }
    KelSyntaxElement* a = root()->firstChild()->firstChild();
    EXPECT_EQ(failure([&] { parser.writeFragment(nullptr, a, 546, 1208); }).catalogueNumber(), 5010u);
    a->firstChild()->setValue(KelStringBase(u"2\t"));
    parser.writeFragment(&one, a, 546, 1208);
    EXPECT_EQ(one.toString(), "HDR<a x='2&#x9;'/>");
}

// One element written on its own: what the write of the message writes only as part of what holds
// it (text, an attribute, a declaration, a reference) came out as nothing, reported as written.
TEST_F(ParserTest, WhatOnlyTheElementAroundItCanWriteIsRefusedOnItsOwn) {
    parse("<?xml version='1.0'?><!DOCTYPE r [<!ENTITY e 'E'>]><r a='1'>t<![CDATA[c]]>&e;<!--n--><?p x?><b/></r>");
    KelSyntaxElement* r = root()->firstChild()->nextSibling()->nextSibling();
    ASSERT_EQ(r->type(), XmlTypeElement);
    KelWriteBuffer out(1208);
    out.append("HDR", 3);
    std::string written;
    for (KelSyntaxElement* e : {root()->firstChild(), root()->firstChild()->nextSibling(), r->firstChild(),
                                r->firstChild()->nextSibling(), r->firstChild()->nextSibling()->nextSibling(),
                                r->firstChild()->nextSibling()->nextSibling()->nextSibling(),
                                r->lastChild()->previousSibling(), r->lastChild()->previousSibling()->previousSibling(),
                                r->lastChild()}) {
        const int type = e->type();
        const bool alone = type == XmlTypeElement || type == XmlTypeComment || type == XmlTypeProcessingInstruction;
        SCOPED_TRACE(type);
        if (alone) {
            parser.writeFragment(&out, e, 546, 1208);
            written = out.toString().substr(3);
        } else {
            KelException f = failure([&] { parser.writeFragment(&out, e, 546, 1208); });
            EXPECT_EQ(f.catalogueNumber(), 5010u);
            ASSERT_EQ(f.nested().size(), 1u);
            EXPECT_EQ(f.nested()[0]->catalogueNumber(), 5003u);
        }
        EXPECT_EQ(out.toString().substr(0, 3), "HDR");
        out.setUsed(3);
    }
    // The last three were written: a comment, an instruction and an element.
    EXPECT_EQ(written, "<b/>");
    KelWriteBuffer three(1208);
    for (KelSyntaxElement* e = r->lastChild()->previousSibling()->previousSibling(); e; e = e->nextSibling())
        parser.writeFragment(&three, e, 546, 1208);
    EXPECT_EQ(three.toString(), "<!--n--><?p x?><b/>");
    EXPECT_TRUE(libxml_reading::readsAs("<w>" + three.toString() + "</w>", "<w><!--n--><?p x?><b/></w>"));
}

// The used length is the host's to set: one outside the buffer (a negative one, or one past its
// storage) made a write put its zero byte outside, or hand back bytes that were never written.
TEST_F(ParserTest, ABufferWhoseUsedLengthLiesOutsideItIsRefused) {
    parse("<r a='1'><b>x</b></r>");
    KelSyntaxElement* b = root()->firstChild()->lastChild();
    for (const long used : {-3L, 16L, 100L}) {
        SCOPED_TRACE(used);
        KelWriteBuffer out(1208, 16);
        out.setUsed(used);
        for (const bool reuse : {false, true}) {
            parser.setReuseBitStream(reuse);
            KelException e = failure([&] { parser.refreshBitStreamFromElements(nullptr, &out, root(), 546, 1208); });
            EXPECT_EQ(e.catalogueNumber(), 5010u);
            ASSERT_EQ(e.nested().size(), 1u);
            EXPECT_EQ(e.nested()[0]->catalogueNumber(), 5003u);
            EXPECT_EQ(out.used(), used);
        }
        KelException f = failure([&] { parser.writeFragment(&out, b, 546, 1208); });
        EXPECT_EQ(f.nested()[0]->catalogueNumber(), 5003u);
        EXPECT_EQ(out.used(), used);
    }
    // Within the buffer, the message follows what it holds.
    KelWriteBuffer out(1208, 16);
    out.append("HDR", 3);
    out.setUsed(2);
    parser.setReuseBitStream(false);
    parser.refreshBitStreamFromElements(nullptr, &out, root(), 546, 1208);
    EXPECT_EQ(out.toString(), "HD<r a='1'><b>x</b></r>");
    EXPECT_TRUE(libxml_reading::readsAs(out.toString().substr(2), "<r a='1'><b>x</b></r>"));
}

// Building ahead raises nothing, for no element too (it followed the null element).
TEST_F(ParserTest, BuildingAheadOfNoElementBuildsNothing) {
    parse("<r><a/><b/></r>");
    parser.parseAhead(nullptr, 100);
    EXPECT_EQ(root()->knownFirstChild(), nullptr);
    parser.parseAhead(root(), 100);
    EXPECT_EQ(root()->firstChild()->name().toUtf8(), "r");
}

TEST_F(ParserTest, WritingAChildWritesAnewEvenWhenReuseIsAllowed) {
    parse("<r><a x='1'/></r>");
    parser.setReuseBitStream(true);
    KelSyntaxElement* r = root()->firstChild();
    KelWriteBuffer out(1208);
    // The element's children are written as a document of their own, never the whole input.
    parser.refreshBitStreamFromElements(nullptr, &out, r, 546, 1208);
    EXPECT_EQ(out.toString(), "<a x='1'/>");
}

TEST_F(ParserTest, TreeChecksPassAWellFormedTopLevel) {
    KelSyntaxElement* r = root();
    add(r, XmlTypeXmlDecl, "XML");
    add(r, XmlTypeComment, "");
    add(r, XmlTypeWhiteSpace, "");
    add(add(r, XmlTypeElement, "body"), XmlTypeAttribute, "a/b");
    add(r, XmlTypeProcessingInstruction, "pi");
    add(r, XmlTypeDocTypeDecl, "body");               // after the body: still accepted
    EXPECT_NO_THROW(parser.validate());
}

TEST_F(ParserTest, TreeCheckFailuresAndTheirOrder) {
    KelSyntaxElement* r = root();
    KelException none = failure([&] { parser.validate(); });
    EXPECT_EQ(none.catalogueNumber(), 5005u);
    EXPECT_EQ(none.function(), "XmlKelParser::checkForBodyElement");
    add(r, XmlTypeComment, "");
    EXPECT_EQ(failure([&] { parser.validate(); }).catalogueNumber(), 5005u);
    add(r, XmlTypeRoot, "inner");
    EXPECT_EQ(failure([&] { parser.validate(); }).catalogueNumber(), 5005u);
    KelSyntaxElement* body = add(r, XmlTypeElement, "body");
    EXPECT_NO_THROW(parser.validate());
    KelSyntaxElement* bad = add(add(body, XmlTypeElement, "ok"), XmlTypeElement, "a/b");
    KelException name = failure([&] { parser.validate(); });
    EXPECT_EQ(name.catalogueNumber(), 5008u);
    EXPECT_EQ(name.function(), "XmlKelParser::checkElementName()");
    EXPECT_EQ(name.inserts(), (std::vector<std::string>{"a/b"}));
    // Two bodies are reported before any bad name.
    KelSyntaxElement* second = add(r, XmlTypeElement, "second");
    EXPECT_EQ(failure([&] { parser.validate(); }).catalogueNumber(), 5005u);
    second->detach();
    for (const char* n : {"!--x", ""}) {
        bad->setName(KelStringBase::fromUtf8(n));
        EXPECT_EQ(failure([&] { parser.validate(); }).catalogueNumber(), 5008u) << n;
    }
    for (const char* n : {"!-", "x!--"}) {
        bad->setName(KelStringBase::fromUtf8(n));
        EXPECT_NO_THROW(parser.validate()) << n;
    }
    KelSyntaxElement* text = add(r, XmlTypeContent, "");
    KelException top = failure([&] { parser.validate(); });
    EXPECT_EQ(top.catalogueNumber(), 5007u);
    EXPECT_EQ(top.function(), "KelXmlParser::validateTree");
    EXPECT_EQ(top.inserts(), (std::vector<std::string>{""}));
    text->detach();
    add(r, XmlTypeXmlDecl, "XML");
    add(r, XmlTypeDocTypeDecl, "d");
    EXPECT_NO_THROW(parser.validate());
    add(r, XmlTypeDocTypeDecl, "d2");
    KelException twice = failure([&] { parser.validate(); });
    EXPECT_EQ(twice.catalogueNumber(), 5006u);
    EXPECT_EQ(twice.inserts(), (std::vector<std::string>{"d2"}));
}

TEST_F(ParserTest, ValidatingAnUnwalkedTreeParsesItAll) {
    parse("<r><a/><b><c/></b></r>");
    parser.validate();
    EXPECT_TRUE(root()->isCompleteRight());
    KelSyntaxElement* b = root()->knownFirstChild()->knownLastChild();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->knownFirstChild()->name().toUtf8(), "c");
}

TEST_F(ParserTest, TheReadmeExampleWorks) {
    parse("<a x='1'>t</a>");
    KelSyntaxElement* a = root()->firstChild();
    a->firstChild()->setValue(KelStringBase(u"2"));
    KelWriteBuffer out(1208);
    parser.refreshBitStreamFromElements(nullptr, &out, root(), 546, 1208);
    EXPECT_EQ(out.toString(), "<a x='2'>t</a>");
}

TEST_F(ParserTest, DeepDocumentsParseCheckAndWrite) {
    const int depth = 100000;
    std::string doc;
    for (int i = 0; i < depth; ++i) doc += "<d>";
    for (int i = 0; i < depth; ++i) doc += "</d>";
    parse(doc);
    parser.validate();
    root()->firstChild()->setName(KelStringBase(u"d"));   // forces the document element to be rewritten
    KelWriteBuffer out(1208);
    parser.refreshBitStreamFromElements(nullptr, &out, root(), 546, 1208);
    EXPECT_EQ(out.toString(), doc);                           // new outer tags, everything inside copied
}

// Driving the scan: laziness, restarting, bad buffers, how errors of the document and of the
// scanner library reach navigation, that nothing outside the bitstream is read or expanded
// without bound, and that a document that failed leaves nothing behind for the next one.
#include "BuilderTestDocument.hpp"
#include "builder/XmlIdleScanners.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Doc = BuilderTestDocument;

std::string items(int count) {
    std::string text = "<?xml version='1.0'?><list>";
    for (int i = 0; i < count; ++i) text += "<item n='" + std::to_string(i) + "'>value " + std::to_string(i) + "</item>";
    return text + "</list>";
}

// Walks the whole tree; returns the exception that stopped the walk, if any.
std::unique_ptr<KelException> walkAll(KelSyntaxElement* e) {
    try {
        for (KelSyntaxElement* c = e->firstChild(); c; c = c->nextSibling())
            if (auto failure = walkAll(c)) return failure;
    } catch (const KelException& failure) {
        return failure.clone();
    }
    return nullptr;
}

bool treeContains(Doc& doc, const std::string& text) { return doc.describe().find(text) != std::string::npos; }

namespace {
// Three pages a document is tried in: its bytes in each, UTF-16 behind its mark.
struct TextPage {
    const char* name;
    int ccsid, encoding;
    std::string bytes(const std::string& text) const {
        return ccsid == 1200 ? "\xFF\xFE" + encodeAs(text, 1200, -1) : encodeAs(text, ccsid);
    }
};
const TextPage kTextPages[] = {{"UTF-8", 1208, 546}, {"UTF-16LE", 1200, 546}, {"EBCDIC 37", 37, 785}};
} // namespace

TEST(ScanControl, NavigationScansOnlyAsFarAsItMustAndANewBitstreamRestarts) {
    const std::string text = items(20000);
    Doc doc(text);
    EXPECT_EQ(doc.builder()->stepCount(), 0u);
    KelSyntaxElement* list = doc.root()->firstChild()->nextSibling();
    ASSERT_NE(list, nullptr);
    KelSyntaxElement* first = list->firstChild();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->name().toUtf8(), "item");
    EXPECT_LE(doc.builder()->stepCount(), 4u);
    EXPECT_LT(doc.builder()->bytesConsumed(), 100);

    // The value of a container scans to its end and no further.
    EXPECT_EQ(first->value().valueAsCharacter().toUtf8(), "value 0");
    const long firstEnd = static_cast<long>(text.find("</item>") + 7);
    EXPECT_GE(doc.builder()->bytesConsumed(), firstEnd);
    EXPECT_LT(doc.builder()->bytesConsumed(), firstEnd + 40);

    doc.load("<other><x/></other>");
    EXPECT_EQ(doc.builder()->stepCount(), 0u);
    KelSyntaxElement* other = doc.root()->firstChild();
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->name().toUtf8(), "other");
    EXPECT_EQ(other->firstChild()->name().toUtf8(), "x");
    other->lastChild();
    EXPECT_EQ(doc.span(other), "<other><x/></other>");
}

TEST(ScanControl, NullAndNegativeBuffers) {
    Doc doc("<a/>");
    doc.parser.refreshElementsFromBitStream(nullptr, KelBuffer(), 546, 1208);
    EXPECT_FALSE(doc.builder()->canScan());
    EXPECT_THROW(doc.root()->firstChild(), KelParserException) << "no bytes are no document";
    EXPECT_EQ(doc.builder()->stepCount(), 0u);

    const std::string bytes = "<a/>";
    try {
        doc.parser.refreshElementsFromBitStream(nullptr, KelBuffer(reinterpret_cast<const unsigned char*>(bytes.data()), -1),
                                                546, 1208);
        FAIL() << "a negative length was accepted";
    } catch (const KelRecoverableException& e) {
        EXPECT_EQ(e.catalogueNumber(), 5003u);
        EXPECT_EQ(e.inserts(), (std::vector<std::string>{"0", "-1"}));
    }
    EXPECT_FALSE(doc.builder()->canScan());
}

TEST(ScanControl, DocumentErrorsCarryPositionTextAndOpenElement) {
    Doc doc("<a>\n  <b>text\n</a>");
    KelSyntaxElement* a = doc.root()->firstChild();
    ASSERT_NE(a, nullptr);
    try {
        a->lastChild();
        FAIL() << "a missing end tag went unnoticed";
    } catch (const KelParserException& e) {
        const KelException& cause = scannerError(e);
        EXPECT_EQ(cause.catalogueNumber(), 5004u);
        EXPECT_EQ(cause.text(), "An error has been reported by the QRVPARSE component.");
        ASSERT_EQ(cause.inserts().size(), 6u);
        EXPECT_NE(cause.inserts()[0], "0");
        EXPECT_EQ(cause.inserts()[2], "3");
        EXPECT_NE(cause.inserts()[3], "0");
        EXPECT_FALSE(cause.inserts()[4].empty());
        EXPECT_EQ(cause.inserts()[5], "b");
    }
    // What was built stays; asking again raises the error again instead of scanning on.
    ASSERT_NE(a->knownLastChild(), nullptr);
    EXPECT_EQ(a->knownLastChild()->name().toUtf8(), "b");
    EXPECT_EQ(a->knownLastChild()->knownFirstChild()->actualValue().valueAsCharacter().toUtf8(), "text\n");
    EXPECT_FALSE(doc.builder()->canScan());
    ASSERT_NE(doc.builder()->lastError(), nullptr);
    EXPECT_THROW(a->lastChild(), KelParserException);
    EXPECT_THROW(doc.root()->lastChild(), KelParserException);

    // The element being filled names the place: the root before the document element, an
    // attribute list's element inside the document type declaration.
    auto openElementOf = [](const std::string& text) {
        Doc bad(text);
        auto failure = walkAll(bad.root());
        return failure && !failure->nested().empty() ? failure->nested().front()->inserts().back() : std::string("?");
    };
    EXPECT_EQ(openElementOf("<?xml version='1.0'?><!-- a -- b --><a/>"), "XML");
    EXPECT_EQ(openElementOf("<!DOCTYPE a [<!ATTLIST z x CDATA #BOGUS>]><a/>"), "z");
}

TEST(ScanControl, EmptyTruncatedAndUndecodableInputAreParseErrors) {
    for (const std::string& text : {std::string(), std::string("<a>"), std::string("<a>ok\xFF\xFE</a>"),
                                    std::string("<a><b/>"), std::string("<a/><b/>")}) {
        Doc doc(text);
        auto failure = walkAll(doc.root());
        ASSERT_NE(failure, nullptr) << text;
        EXPECT_EQ(failure->catalogueNumber(), 5009u) << text;
    }
}

TEST(ScanControl, WarningsLetTheScanGoOnMalformedVersionsDoNot) {
    // A second declaration of an attribute only draws a warning: the document is fine.
    Doc fine("<!DOCTYPE a [<!ATTLIST a x CDATA 'one'><!ATTLIST a x CDATA 'two'>]><a/>");
    EXPECT_EQ(walkAll(fine.root()), nullptr);
    KelSyntaxElement* x = fine.documentElement()->firstChild();
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->actualValue().valueAsCharacter().toUtf8(), "one");
    for (const char* version : {"1.0 ", "1.0?", "1.", "2.0", "1.x"}) {
        Doc bad(std::string("<?xml version='") + version + "'?><a/>");
        auto failure = walkAll(bad.root());
        ASSERT_NE(failure, nullptr) << version;
        EXPECT_EQ(failure->catalogueNumber(), 5009u);
    }
    Doc later("<?xml version='1.7'?><a/>");
    EXPECT_EQ(walkAll(later.root()), nullptr);
}

// The scanner reads a pseudo-attribute's name in the XML declaration through NULs and took
// "encoding\0=" for "encoding=": such a document is refused in every page, by the tree and by
// the check alike, while NUL padding after a document stays allowed.
TEST(ScanControl, ANulInTheXmlDeclarationIsRefusedInEveryPage) {
    const std::string bad[] = {
        std::string("<?xml version=\"1.0\" encoding\0\0=\"UTF-8\"?><r/>", 44),
        std::string("<?xml version\0='1.0'?><r/>", 26),
        std::string("<?xml version='1.0' standalone\0='yes'?><r/>", 43),
    };
    const std::string fine = std::string("<?xml version='1.0' standalone='yes'?><r/>\0\0\0", 45);
    for (const TextPage& page : kTextPages) {
        const auto bytes = [&](const std::string& text) { return page.bytes(text); };
        for (const std::string& text : bad) {
            SCOPED_TRACE(std::string(page.name) + ": " + std::to_string(text.size()) + " bytes");
            Doc doc(bytes(text), page.ccsid, page.encoding);
            const auto failure = walkAll(doc.root());
            ASSERT_NE(failure, nullptr);
            EXPECT_EQ(failure->catalogueNumber(), 5009u);
            EXPECT_THROW(doc.parser.checkBitStream(KelBuffer::fromString(bytes(text)), page.encoding, page.ccsid),
                         KelParserException);
        }
        SCOPED_TRACE(page.name);
        Doc padded(bytes(fine), page.ccsid, page.encoding);
        EXPECT_EQ(walkAll(padded.root()), nullptr);
    }
}

TEST(ScanControl, ScannerLibraryFailuresBecomeParseErrors) {
    // No converter for the page: the scanner library throws instead of reporting.
    Doc doc("<a/>", 4242, 546);
    try {
        doc.root()->firstChild();
        FAIL() << "a page without converter parsed";
    } catch (const KelParserException& e) {
        const KelException& cause = scannerError(e);
        EXPECT_EQ(cause.catalogueNumber(), 5004u);
        ASSERT_FALSE(cause.inserts().empty());
        EXPECT_NE(cause.inserts()[4].find("CPX-4242"), std::string::npos) << cause.what();
    }
    EXPECT_FALSE(doc.builder()->canScan());
    EXPECT_THROW(doc.root()->firstChild(), KelParserException);
    // A later bitstream parses normally again.
    doc.load("<ok/>");
    EXPECT_EQ(doc.root()->firstChild()->name().toUtf8(), "ok");
    EXPECT_EQ(doc.builder()->lastError(), nullptr);
}

TEST(ScanControl, ExternalEntitiesAndSubsetsAreNeverRead) {
    char dir[] = "/tmp/quarn-builder-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string dtd = std::string(dir) + "/ext.dtd";
    const std::string txt = std::string(dir) + "/ext.txt";
    std::ofstream(dtd) << "<!ATTLIST a def CDATA \"FROM_FILE\"><!ENTITY inc \"FROM_FILE\">";
    std::ofstream(txt) << "FROM_FILE";
    const std::string text = "<!DOCTYPE a SYSTEM \"file://" + dtd + "\" [<!ENTITY t SYSTEM \"" + txt +
                             "\"><!ENTITY % p SYSTEM \"file://" + dtd + "\">%p;]><a>&t;</a>";
    Doc doc(text);
    EXPECT_EQ(walkAll(doc.root()), nullptr);
    EXPECT_FALSE(treeContains(doc, "FROM_FILE")) << doc.describe();
    KelSyntaxElement* a = doc.documentElement();
    const auto kids = Doc::children(a);
    ASSERT_EQ(kids.size(), 2u);
    EXPECT_EQ(kids[0]->type(), XmlTypeEntityReferenceStart);
    EXPECT_EQ(kids[1]->type(), XmlTypeEntityReferenceEnd);
    KelSyntaxElement* external = Doc::child(Doc::child(doc.root(), XmlTypeDocTypeDecl), XmlTypeExternalSubset);
    ASSERT_NE(external, nullptr);
    EXPECT_EQ(external->knownFirstChild(), nullptr);
    std::remove(dtd.c_str());
    std::remove(txt.c_str());
    rmdir(dir);
}

TEST(ScanControl, EntityExpansionIsBoundedPerDocument) {
    std::string laughs = "<!DOCTYPE l [<!ENTITY l0 \"lol\">";
    for (int level = 1; level <= 9; ++level) {
        laughs += "<!ENTITY l" + std::to_string(level) + " \"";
        for (int i = 0; i < 10; ++i) laughs += "&l" + std::to_string(level - 1) + ";";
        laughs += "\">";
    }
    // In an attribute value: expanded as much as in content, without a tree to build.
    laughs += "]><l a='&l9;'/>";
    const auto started = std::chrono::steady_clock::now();
    Doc doc(laughs);
    auto failure = walkAll(doc.root());
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->catalogueNumber(), 5009u);
    // Unbounded, the document would expand 10^9 times; the limit stops it after well under a
    // second (some seconds in a sanitizer build).
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(120));

    // The count starts again with every document: two documents, each under the limit but
    // together over it, both parse.
    std::string many = "<!DOCTYPE r [<!ENTITY e \"x\">]><r a='";
    for (int i = 0; i < 30000; ++i) many += "&e;";
    many += "'>&e;</r>";
    doc.load(many);
    EXPECT_EQ(walkAll(doc.root()), nullptr);
    doc.load(many);
    EXPECT_EQ(walkAll(doc.root()), nullptr);
    const auto kids = Doc::children(doc.documentElement());
    ASSERT_EQ(kids.size(), 4u);
    EXPECT_EQ(kids[0]->actualValue().valueAsCharacter().toUtf8(), std::string(30000, 'x'));
}

} // namespace

TEST(ScanControl, AParserThatFailedReadsItsNextDocumentAsANewParserWould) {
    // A document that fails (here on the entity-expansion limit, in content, in an attribute
    // value and through a parameter entity) must not leave the parser's scan in a state that
    // fails the next document.
    const std::string cases[] = {
        "<!DOCTYPE a [<!ENTITY e 'x'>]><a>&e;</a>",
        "<!DOCTYPE a [<!ENTITY e 'x'>]><a t='&e;'/>",
        "<!DOCTYPE a [<!ENTITY % p '<!ENTITY e \"y\">'>%p;]><a>&e;</a>",
    };
    for (const std::string& text : cases) {
        SCOPED_TRACE(text);
        Doc fresh(text);
        const std::string expected = fresh.describe();
        Doc d(text);
        XmlBuilderLimits tight;
        tight.entityExpansions = 0;
        d.builder()->setLimits(tight);
        d.load(text);
        EXPECT_NE(walkAll(d.root()), nullptr);
        d.builder()->setLimits(XmlBuilderLimits());
        d.load(text);
        auto failure = walkAll(d.root());
        ASSERT_EQ(failure, nullptr) << failure->what();
        EXPECT_EQ(d.describe(), expected);
    }
}

namespace {

// The tree of a document and the bytes each element's span covers, as one comparable text.
std::string treeAndSpans(Doc& doc) {
    std::string spans;
    std::vector<KelSyntaxElement*> pending{doc.root()};
    while (!pending.empty()) {
        KelSyntaxElement* e = pending.back();
        pending.pop_back();
        spans += doc.span(e) + "|";
        for (KelSyntaxElement* c : Doc::children(e)) pending.push_back(c);
    }
    return doc.describe() + spans;
}

std::string failureOf(Doc& doc) {
    const auto failure = walkAll(doc.root());
    return failure ? failure->what() : std::string("no failure");
}

// Runs `work` on a thread of its own, which starts with no idle scanner objects.
template <class Work> void onNewThread(Work work) {
    std::thread thread(work);
    thread.join();
}

} // namespace

TEST(ScanControl, ScannerObjectsLeftByAThreadsParsersReadAsNewOnes) {
    // A thread's parsers hand their scanner objects on to its next parser; objects a scan failed
    // in are not handed on. Whatever the last parser did with them (failed midway, stopped
    // midway, finished), the next parser's tree, spans and failures are a new thread's.
    const std::string good = "<?xml version='1.0'?><list><item n='1'>one &amp; two</item>"
                             "<item n=\"2\"><![CDATA[x<y]]></item><!--c--><?p d?></list>";
    const std::string bad[] = {
        "<list><item n='1'>one</item><item n='2'>two</itm><item/></list>",            // an end tag
        "<list><item n='1'>one</item><item>&#0;</item><item/></list>",                 // a character
        "<!DOCTYPE list [<!ELEMENT list (item*><!ATTLIST item n CDATA #IMPLIED>]><list/>",   // a model
    };
    for (const TextPage& page : kTextPages) {
        const auto bytes = [&](const std::string& text) { return page.bytes(text); };
        for (const std::string& broken : bad) {
            SCOPED_TRACE(std::string(page.name) + ": " + broken);
            std::string expectedTree, expectedFailure;
            onNewThread([&] {
                Doc fresh(bytes(good), page.ccsid, page.encoding);
                expectedTree = treeAndSpans(fresh);
                Doc failing(bytes(broken), page.ccsid, page.encoding);
                expectedFailure = failureOf(failing);
            });
            ASSERT_NE(expectedFailure, "no failure");
            onNewThread([&] {
                EXPECT_EQ(XmlIdleScanners::count(), 0u);
                {
                    // The same parser: a failure midway, then the good document.
                    Doc d(bytes(broken), page.ccsid, page.encoding);
                    EXPECT_EQ(failureOf(d), expectedFailure);
                    d.load(bytes(good), page.ccsid, page.encoding);
                    EXPECT_EQ(treeAndSpans(d), expectedTree);
                }
                EXPECT_EQ(XmlIdleScanners::count(), 1u);
                {
                    // A new parser on the thread takes what the last one left.
                    Doc e(bytes(good), page.ccsid, page.encoding);
                    EXPECT_EQ(XmlIdleScanners::count(), 0u);
                    EXPECT_EQ(treeAndSpans(e), expectedTree);
                    // Stopped midway: its objects are handed on all the same.
                    Doc stopped(bytes(good), page.ccsid, page.encoding);
                    ASSERT_NE(stopped.root()->firstChild(), nullptr);
                }
                EXPECT_EQ(XmlIdleScanners::count(), 2u);
                {
                    Doc failing(bytes(broken), page.ccsid, page.encoding);
                    EXPECT_EQ(XmlIdleScanners::count(), 1u);
                    EXPECT_EQ(failureOf(failing), expectedFailure);
                    Doc after(bytes(good), page.ccsid, page.encoding);
                    EXPECT_EQ(XmlIdleScanners::count(), 0u);
                    EXPECT_EQ(treeAndSpans(after), expectedTree);
                }
                // The failed parser's objects went with it.
                EXPECT_EQ(XmlIdleScanners::count(), 1u);
            });
        }
    }
}

TEST(ScanControl, ScannerMemoryDoesNotGrowWithTheNamesOfEarlierMessages) {
    // The scanner library keeps a declaration for every element name it meets undeclared, in every
    // document its objects ever scanned. Message after message with names of their own (20 each,
    // some 10 KB of declarations) must not pile them up: in a parser reused for every message, nor
    // in a new parser per message, which takes the objects the thread's last parser left. The most
    // held between messages over the second N messages is no more than over the first N.
    const auto message = [](int i) {
        std::string text = "<r>";
        for (int k = 0; k < 20; ++k) text += "<m" + std::to_string(i) + "_" + std::to_string(k) + " a='1'>t</m" +
                                             std::to_string(i) + "_" + std::to_string(k) + ">";
        return text + "</r>";
    };
    constexpr int kMessages = 300;   // N: well past what XmlScannerObjects keeps between documents
    const auto measure = [&](bool newParserEachMessage) {
        std::size_t most[2] = {0, 0};
        onNewThread([&] {
            Doc reused("<r/>");
            for (int i = 0; i < 2 * kMessages; ++i) {
                std::unique_ptr<Doc> own = newParserEachMessage ? std::make_unique<Doc>(message(i)) : nullptr;
                Doc& doc = own ? *own : reused;
                if (!own) doc.load(message(i));
                ASSERT_EQ(failureOf(doc), "no failure");
                most[i / kMessages] = std::max(most[i / kMessages], doc.builder()->scannerBytesHeld());
            }
        });
        return std::make_pair(most[0], most[1]);
    };
    for (bool newParser : {false, true}) {
        SCOPED_TRACE(newParser ? "a new parser per message" : "one parser");
        const auto [first, second] = measure(newParser);
        EXPECT_LE(second, first) << "bytes the scanner held: at most " << first << " over the first " << kMessages
                                 << " messages, " << second << " over the next";
        // What objects may keep between documents, and what one small document's scan adds to it.
        EXPECT_LE(second, XmlScannerObjects::kBytesKeptBetweenDocuments + 256 * 1024);
    }
}

TEST(ScanControl, ADocumentIsReadInTheVersionItDeclaresWhateverTheLastWas) {
    // After an XML 1.1 document, whose NEL and U+2028 are line ends, a document without a
    // declaration (XML 1.0) must keep them as characters, and a declaration must be read as a new
    // parser reads it, in the same parser and in the next one the thread makes.
    const std::string v11 = "<?xml version='1.1'?><a n='p\xC2\x85q'>p\xC2\x85q\xE2\x80\xA8r</a>";
    const std::string docs[] = {
        "<a n='x\xC2\x85y'>x\xC2\x85y\xE2\x80\xA8z</a>",
        "<?xml version='1.&#10;\xC2\x85<1'?><a/>",
        "<?xml version='1.0'?>\n<a>\xC2\x85</a>",
    };
    // The tree with its spans, or the failure.
    const auto outcome = [](Doc& d) {
        const std::string failure = failureOf(d);
        return failure == "no failure" ? treeAndSpans(d) : failure;
    };
    for (const std::string& text : docs) {
        SCOPED_TRACE(text);
        std::string expected;
        onNewThread([&] {
            Doc fresh(text);
            expected = outcome(fresh);
        });
        onNewThread([&] {
            Doc d(v11);
            EXPECT_EQ(failureOf(d), "no failure");
            d.load(text);
            EXPECT_EQ(outcome(d), expected) << "the same parser";
        });
        onNewThread([&] {
            {
                Doc last(v11);
                EXPECT_EQ(failureOf(last), "no failure");
            }
            Doc next(text);
            EXPECT_EQ(outcome(next), expected) << "the thread's next parser";
        });
    }
    // What the first document holds is characters, as written.
    Doc plain(docs[0]);
    KelSyntaxElement* a = plain.documentElement();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->value().valueAsCharacter().view(), u"x\u0085y\u2028z");
}

TEST(ScanControl, AParserReadsEachDocumentInItsOwnPageWhateverTheLastWas) {
    // One parser, handed documents whose code page, byte order or mark changes from one to the
    // next (and back), reads each as a new parser does: the page named to the scanner is the
    // document's own, never the last one's.
    struct Given {
        int ccsid;
        int encoding;
        std::string bytes;
    };
    const std::string text = "<?xml version='1.0'?><r a='\xC3\xA9'>\xE8\xAA\x9E x</r>";
    const std::string be = encodeAs(text, 1200, 1);
    const std::string le = encodeAs(text, 1200, -1);
    const std::vector<Given> documents = {
        {1208, 546, text},
        {1200, 546, "\xFF\xFE" + le},     // little-endian, marked
        {1200, 546, "\xFE\xFF" + be},     // big-endian, marked, same encoding value
        {1200, 546, le},                  // unmarked: the encoding value says little-endian
        {1200, 273, be},                  // and big-endian
        {1200, 273, "\xFF\xFE" + le},     // the mark wins over the encoding value
        {1208, 546, text},
        {1200, 273, be},
        {939, 785, encodeAs(text.substr(0, text.find('a')) + "a='x'>\xE8\xAA\x9E x</r>", 939)},
        {1208, 546, text},
    };
    Doc reused(text);
    for (std::size_t i = 0; i < documents.size(); ++i) {
        const Given& given = documents[i];
        SCOPED_TRACE("document " + std::to_string(i));
        reused.load(given.bytes, given.ccsid, given.encoding);
        Doc fresh(given.bytes, given.ccsid, given.encoding);
        EXPECT_EQ(reused.describe(), fresh.describe());
        KelSyntaxElement* content = Doc::child(reused.documentElement(), XmlTypeContent);
        ASSERT_NE(content, nullptr);
        EXPECT_EQ(content->actualValue().valueAsCharacter().toUtf8(), "\xE8\xAA\x9E x");
    }
}

// The streaming evaluation (XmlPathQuery::TreeUse::DeletePassed): the same answers as the
// evaluation that keeps the tree, over the conformance suite and the hostile documents, and
// the elements it has passed are deleted, so a long message is held about one record deep.
#include "host/KelBuffer.hpp"
#include "host/KelException.hpp"
#include "host/KelMessageGroup.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelSyntaxElementPool.hpp"
#include "parser/XmlKelParser.hpp"
#include "query/XmlPathQuery.hpp"
#include "tests/support/ConformanceManifest.hpp"
#include "tests/support/HostileDocuments.hpp"
#include "tests/support/TestDocumentCodePage.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {
class Document {
public:
    Document(const std::string& bytes, int ccsid = 1208, int encoding = 546) : parser(&group, true) {
        parser.initialize();
        parser.refreshElementsFromBitStream(nullptr, KelBuffer::fromString(bytes), encoding, ccsid);
    }
    KelSyntaxElement* root() { return parser.rootElement(); }
    std::size_t slots() { return parser.elementPool().slotsCarved(); }

    KelMessageGroup group;
    XmlKelParser parser;
};

// Everything an evaluation tells: each node's kind, name and value as the walk reports it (a
// streaming caller keeps nothing past the visit), the value of the whole, or the failure.
std::string answer(const std::string& bytes, int ccsid, int encoding, const XmlPathQuery& query, XmlPathQuery::TreeUse use) {
    std::string out;
    try {
        Document doc(bytes, ccsid, encoding);
        if (query.resultKind() == XmlPathQuery::ResultKind::Nodes) {
            query.forEach(
                doc.root(),
                [&](const XmlPathQuery::Match& m) {
                    out += std::to_string(m.kind) + " " + m.element->name().toUtf8() + "=" +
                           XmlPathQuery::stringValue(m).toUtf8() + "\n";
                    return true;
                },
                use);
        } else {
            out = query.string(doc.root(), use).toUtf8();
        }
    } catch (const std::exception& e) {
        out += std::string("failed: ") + e.what();
    }
    return out;
}

const char* const kExpressions[] = {
    "//node()", "//*[2]/@*", "string(/*/*[2])", "count(//*[*][@*][1])", "count(//comment() | //processing-instruction())",
};

// xmllint's answer for the document in `file`: a value, or each attribute as ` name="value"`, a
// line each.
std::string xmllint(const std::string& file, const std::string& expression) {
    const std::string out = file + ".out";
    std::string quoted = "'";
    for (char c : expression) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    const std::string command = "xmllint --xpath " + quoted + " '" + file + "' >'" + out + "' 2>/dev/null";
    const int status = std::system(command.c_str());
    (void)status;   // 10 when the set is empty: the output is then empty as well
    std::ifstream in(out, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    std::remove(out.c_str());
    return s.str();
}

// Sanitizer builds run each parse many times slower: they take every fourth document of the suite.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kStride = 4;
#else
constexpr int kStride = 1;
#endif

TEST(XmlPathStreaming, SameAnswersAsKeepingTheTreeOverTheSuiteAndTheHostileDocuments) {
    std::vector<XmlPathQuery> queries;
    for (const char* e : kExpressions) queries.emplace_back(e);
    int compared = 0;
    auto compare = [&](const std::string& what, const std::string& bytes, int ccsid, int encoding) {
        for (const XmlPathQuery& q : queries) {
            EXPECT_EQ(answer(bytes, ccsid, encoding, q, XmlPathQuery::TreeUse::DeletePassed),
                      answer(bytes, ccsid, encoding, q, XmlPathQuery::TreeUse::Keep))
                << what << ": " << q.text();
        }
        ++compared;
    };
    for (const HostileDocument& h : HostileDocuments::all()) compare(h.shape, h.text, 1208, 546);
    int index = 0;
    const bool present = ConformanceManifest::forEachDocument([&](const ConformanceCase& c, const std::string& bytes) {
        if (index++ % kStride != 0) return;
        const TestDocumentCodePage page = TestDocumentCodePage::of(bytes);
        compare(c.id, bytes, page.ccsid, page.encoding);
    });
    if (!present) GTEST_SKIP() << "no conformance suite under " << QUARN_CONFORMANCE_DIR;
    EXPECT_GT(compared, 700 / kStride);
}

// What streams deletes behind it: the pool's high-water mark stays at about one record however
// many records there are. What needs what lies behind keeps the tree, and answers the same.
TEST(XmlPathStreaming, DeletesWhatItHasPassedAndKeepsWhatIsStillNeeded) {
    std::string big = "<m id='m'><h>head</h>";
    const int records = 2000;
    for (int i = 1; i <= records; ++i)
        big += "<r n='" + std::to_string(i) + "'><f>x" + std::to_string(i % 7) + "</f><g/></r>\n";
    big += "</m>";
    const struct {
        const char* expression;
        bool streams;
    } cases[] = {
        {"count(//r)", true},
        {"count(/m/r[f = 'x3'])", true},
        {"sum(//r/@n) div count(//r)", false},   // two paths from the context: the second must start over
        {"//r[@n = 1999]/f", true},
        {"count(//r[g][f != 'x1']/@n) > 100", true},
        {"string(//r[position() = 1500]/@n)", true},
        {"count(//r[last()])", true},   // the last candidate is known by looking ahead
        {"count(//r[last() - 1])", false},
        {"count(//r[../@id = 'm'])", false},
        {"count(//r[/m/@id = 'm'])", false},
        {"count((//r)[2] | //h)", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expression);
        const XmlPathQuery q(c.expression);
        EXPECT_EQ(q.streams(), c.streams);
        Document kept(big), streamed(big);
        const std::string expected = q.string(kept.root()).toUtf8();
        EXPECT_EQ(q.string(streamed.root(), XmlPathQuery::TreeUse::DeletePassed).toUtf8(), expected);
        EXPECT_GT(kept.slots(), static_cast<std::size_t>(records));
        if (c.streams)
            EXPECT_LT(streamed.slots(), 100u) << "the records passed were deleted";
        else
            EXPECT_GT(streamed.slots(), static_cast<std::size_t>(records)) << "nothing that is still needed went";
    }
    // Each node is reported before anything below it goes, so its text is whole at the visit.
    Document doc(big);
    std::size_t seen = 0;
    XmlPathQuery("//r[@n mod 100 = 0]").forEach(
        doc.root(),
        [&](const XmlPathQuery::Match& m) {
            EXPECT_EQ(XmlPathQuery::stringValue(m).toUtf8(), "x" + std::to_string((++seen * 100) % 7));
            return true;
        },
        XmlPathQuery::TreeUse::DeletePassed);
    EXPECT_EQ(seen, 20u);
    EXPECT_LT(doc.slots(), 100u);
}

// A '//' walk through a record builds it ahead of the walk, a bounded stretch at a time: a
// failure met ahead is raised only by a walk that reaches it, with the message a walk without
// '//' raises, and one long record is held a stretch deep, not whole.
TEST(XmlPathStreaming, BuildsAheadInARecordWithoutFailingEarlierOrHoldingTheRecord) {
    std::string broken = "<m><r><f>x</f><h>";
    for (int i = 0; i < 50; ++i) broken += "<k>z</k>";
    broken += "<bad</h></r></m>";
    const auto failure = [&](const char* expression) {
        Document doc(broken);
        try {
            XmlPathQuery(expression).string(doc.root(), XmlPathQuery::TreeUse::DeletePassed);
        } catch (const KelException& e) {
            return std::string(e.what());
        }
        return std::string("no failure");
    };
    for (const char* expression : {"//r/f", "string(//f)", "//k[3]"}) {
        SCOPED_TRACE(expression);
        Document doc(broken);
        EXPECT_NO_THROW(XmlPathQuery(expression).first(doc.root()));
    }
    EXPECT_NE(failure("count(//k)"), "no failure");
    EXPECT_EQ(failure("count(//k)"), failure("count(/m/r/h/k)"));

    std::string wide = "<m><w>";
    const int children = 5000;
    for (int i = 0; i < children; ++i) wide += "<c>t</c>";
    wide += "</w></m>";
    Document doc(wide);
    EXPECT_EQ(XmlPathQuery("count(//c)").number(doc.root(), XmlPathQuery::TreeUse::DeletePassed), children);
    EXPECT_LT(doc.slots(), 1000u) << "the record is built ahead a bounded stretch at a time";
}

// A streamed evaluation's answer as xmllint --xpath prints it.
std::string streamedAsXmllint(Document& doc, const XmlPathQuery& q) {
    std::string ours;
    if (q.resultKind() == XmlPathQuery::ResultKind::Nodes) {
        q.forEach(
            doc.root(),
            [&](const XmlPathQuery::Match& m) {
                ours += " " + m.element->name().toUtf8() + "=\"" + XmlPathQuery::stringValue(m).toUtf8() + "\"\n";
                return true;
            },
            XmlPathQuery::TreeUse::DeletePassed);
    } else {
        ours = q.string(doc.root(), XmlPathQuery::TreeUse::DeletePassed).toUtf8() + "\n";
    }
    return ours;
}

// A step that asks for the last of its siblings ([last()], [position() = last()]) streams: the
// walk looks one candidate ahead instead of keeping every sibling to count, so the pool stays
// at about one record however many there are, and the answers are xmllint's.
TEST(XmlPathStreaming, TheLastOfTheSiblingsStreamsAndAnswersAsXmllint) {
    // Records at two depths, so that '//' finds a last record under more than one parent.
    std::string big = "<orders>\n";
    const int records = 3000;
    for (int i = 1; i <= records; ++i) {
        big += "<order id=\"" + std::to_string(i) + "\"><line qty=\"" + std::to_string(i % 5) + "\"/><line qty=\"2\"/></order>\n";
        if (i % 1000 == 0) big += "<batch><order id=\"b" + std::to_string(i) + "\"/><order id=\"c" + std::to_string(i) + "\"/></batch>\n";
    }
    big += "<note/>\n</orders>\n";
    char name[] = "/tmp/quarn-last-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    const std::string file = name;
    std::ofstream(file, std::ios::binary) << big;
    const char* const expressions[] = {
        "string(/orders/order[last()]/@id)",
        "count(//order[last()])",
        "//order[last()]/@id",
        "/orders/order[position() = last()]/@id",
        "count(/orders/order[last() = position()]/line)",
        "string(//order[last()]/line[last()]/@qty)",
        "//line[position() = last()]/@qty",
        "count(//order[line[last()]/@qty = 3])",
    };
    for (const char* expression : expressions) {
        SCOPED_TRACE(expression);
        const XmlPathQuery q(expression);
        EXPECT_TRUE(q.streams());
        Document doc(big);
        EXPECT_EQ(streamedAsXmllint(doc, q), xmllint(file, expression));
        EXPECT_LT(doc.slots(), 200u) << "only what the walk still needs is kept";
        EXPECT_LT(doc.parser.elementPool().liveCount(), 200u);
    }
    std::remove(file.c_str());
}

// A [last()] step right under the document: the document element is the document node's one
// element child, so an element test there takes it as the last without reading on through it
// (which would build the whole message); a comment or processing-instruction test still looks
// ahead, past the document element, for a later one.
TEST(XmlPathStreaming, TheLastElementUnderTheDocumentIsTheDocumentElementWithoutLookingAhead) {
    std::string big = "<?xml version=\"1.0\"?>\n<!--a--><?p one?>\n<orders>\n";
    for (int i = 1; i <= 3000; ++i)
        big += "<order id=\"" + std::to_string(i) + "\"><line qty=\"" + std::to_string(i % 5) + "\"/></order>\n";
    big += "</orders>\n<!--z--><?p two?>\n";
    char name[] = "/tmp/quarn-last-top-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    const std::string file = name;
    std::ofstream(file, std::ios::binary) << big;
    struct Case {
        const char* expression;
        bool flat;   // the pool stays at about a record
    };
    const Case cases[] = {
        {"count(/orders[last()])", true},
        {"string(/*[last()]/order[1]/@id)", true},
        {"/orders[position() = last()]/order[2]/line/@qty", true},
        {"count(/*[last()]/order[last()]/line)", true},
        {"string(/orders[last()]/order[last()]/@id)", true},
        {"count(/nothing[last()])", true},
        // Comments and processing instructions may follow the document element.
        {"string(/comment()[last()])", false},
        {"string(/processing-instruction()[last()])", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expression);
        const XmlPathQuery q(c.expression);
        EXPECT_TRUE(q.streams());
        Document doc(big);
        EXPECT_EQ(streamedAsXmllint(doc, q), xmllint(file, c.expression));
        if (c.flat) {
            EXPECT_LT(doc.slots(), 200u) << "only what the walk still needs is kept";
            EXPECT_LT(doc.parser.elementPool().liveCount(), 200u);
        }
    }
    std::remove(file.c_str());
}

} // namespace

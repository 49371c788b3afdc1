// The path-query engine over trees the XML parser builds: its results against xmllint's on the
// same documents, the same results in every code page, how little of a message it scans, and
// the expressions it refuses.
#include "builder/XmlBrokerOrvaneParser.hpp"
#include "host/KelBuffer.hpp"
#include "host/KelMessageGroup.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelWriteBuffer.hpp"
#include "common/XmlElementType.hpp"
#include "parser/XmlKelParser.hpp"
#include "parser/XmlKelSyntaxElement.hpp"
#include "query/XmlPathQuery.hpp"
#include "tests/parser/LibxmlReading.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {
class Document {
public:
    explicit Document(const std::string& bytes, int ccsid = 1208, int encoding = 546) : parser(&group, true) {
        parser.initialize();
        parser.refreshElementsFromBitStream(nullptr, KelBuffer::fromString(bytes), encoding, ccsid);
    }
    KelSyntaxElement* root() { return parser.rootElement(); }
    unsigned long steps() { return parser.treeBuilder()->stepCount(); }

    KelMessageGroup group;
    XmlKelParser parser;
};

std::string encodeAs(const std::string& utf8, int ccsid, int byteOrder) {
    KelWriteBuffer buffer(ccsid);
    buffer.appendMbs(KelStringBase::fromUtf8(utf8), ccsid, byteOrder);
    return buffer.toString();
}

std::string escaped(const std::string& s, bool attribute) {
    std::string out;
    for (char c : s) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else if (c == '"' && attribute) out += "&quot;";
        else out += c;
    }
    return out;
}

// A match as xmllint prints it: elements as markup (here their original bytes, which the test
// documents write the way libxml2 does), attributes as name="value", text escaped.
std::string asXmllintPrints(const XmlPathQuery::Match& m, const std::string& utf8Input) {
    switch (m.kind) {
    case XmlPathQuery::Match::Element: {
        m.element->lastChild();
        auto* e = static_cast<XmlKelSyntaxElement*>(m.element);
        const auto* base = reinterpret_cast<const unsigned char*>(utf8Input.data());
        (void)base;
        return std::string(reinterpret_cast<const char*>(e->getBufferStart()),
                           static_cast<std::size_t>(e->getBufferEnd() - e->getBufferStart()));
    }
    case XmlPathQuery::Match::Attribute:
        return " " + m.element->name().toUtf8() + "=\"" + escaped(XmlPathQuery::stringValue(m).toUtf8(), true) + "\"";
    case XmlPathQuery::Match::Text:
        return escaped(XmlPathQuery::stringValue(m).toUtf8(), false);
    case XmlPathQuery::Match::Comment:
        return "<!--" + XmlPathQuery::stringValue(m).toUtf8() + "-->";
    case XmlPathQuery::Match::ProcessingInstruction:
        return "<?" + m.element->name().toUtf8() + " " + XmlPathQuery::stringValue(m).toUtf8() + "?>";
    default:
        return "(document)";
    }
}

std::string xmllint(const std::string& file, const std::string& expression) {
    std::string out = file + ".out";
    std::string quoted = "'";
    for (char c : expression) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    std::string command = "xmllint --xpath " + quoted + " '" + file + "' >'" + out + "' 2>/dev/null";
    int status = std::system(command.c_str());
    (void)status;   // 10 when the set is empty: the output is then empty as well
    std::ifstream in(out, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    std::remove(out.c_str());
    return s.str();
}

// Documents written as libxml2 writes elements (double quotes, empty elements as <x/>), so that
// an element's original bytes and xmllint's copy of it can be compared as they are. Nested
// elements of one name test document order.
const char* const kLibrary =
    "<?xml version=\"1.0\"?>\n"
    "<!--top-->\n"
    "<lib><sec id=\"s1\"><title>One</title><sec id=\"s1.1\"><title>R&amp;D</title>"
    "<p n=\"1\">a<b>bold</b>c</p></sec><p n=\"2\">two</p></sec>"
    "<sec id=\"s2\" status=\"open\"><title>Two</title><?pi data?><p n=\"3\">three</p><!--c--><p n=\"4\"/></sec>"
    "<status>open</status></lib>\n";

const char* const kOrders =
    "<orders>\n"
    "  <order id=\"o1\"><status>open</status><item sku=\"A\" qty=\"2\">Widget</item><item sku=\"B\" qty=\"1\">Nut</item></order>\n"
    "  <order id=\"o2\"><status>closed</status><item sku=\"C\" qty=\"5\">Bolt</item></order>\n"
    "  <order id=\"o3\"><status>open</status></order>\n"
    "</orders>\n";

const char* const kLibraryExpressions[] = {
    "/lib/sec", "//sec", "//sec/title", "//sec//p", "//p/@n", "//@*", "/lib/sec[2]/p[last()]",
    "//sec[@id='s2']/title/text()", "/lib[status='open']/sec[1]/@id", "//*[@status]", "//p/..", "//title/../@id",
    "/lib/*", "//node()", "//text()", "//comment()", "//processing-instruction()", "//sec/p[1]",
    "//p[@n>2 and not(@n=4)]", "//sec[count(p)=2]/@id", "//sec[p/@n='1']/@id", "/lib/sec[last()]/*[2]",
    "//*[position()=last()]", "lib/sec/../status", "./lib/sec/title", "//b/../../@id", "//sec[title='Two']/p",
    "//p[. = 'two']", "//sec[not(@status)]/@id", "/lib/sec[@id='s1' or @id='s2'][2]/@id", "//sec[2]",
    "/lib/sec/sec/p/b/text()", "//p[@n][1]", "/*/*[last()]/text()", "//nothing", "/lib/@missing", "/",
};

const char* const kOrdersExpressions[] = {
    "/orders/order[status='open']/@id", "//order[item/@qty>1]/@id", "//item[last()]/@sku", "//order[2]/item",
    "//order[not(item)]", "/orders/order[last()]/status/text()", "//item[@sku='B']/../@id", "orders/order/@*",
    "//order[status!='open']/item/text()", "//*[@qty<2]",
};

struct Case {
    const char* document;
    const char* const* expressions;
    std::size_t count;
};

void compareWithXmllint(const Case& c) {
    const std::string file = ::testing::TempDir() + "quarn-query-" + std::to_string(::getpid()) + ".xml";
    {
        std::ofstream out(file, std::ios::binary);
        out << c.document;
    }
    for (std::size_t i = 0; i < c.count; ++i) {
        const std::string expression = c.expressions[i];
        if (expression == "/") continue;   // the document node: xmllint writes the whole document anew
        SCOPED_TRACE(expression);
        Document doc(c.document);
        XmlPathQuery query(expression);
        std::string ours;
        for (const XmlPathQuery::Match& m : query.all(doc.root())) {
            ours += asXmllintPrints(m, c.document);
            ours += '\n';
        }
        EXPECT_EQ(ours, xmllint(file, expression));
    }
    // count() and string() of every path agree as well, asked of xmllint in one go.
    std::string all = "concat(''";
    std::string expected;
    for (std::size_t i = 0; i < c.count; ++i) {
        const std::string expression = c.expressions[i];
        all += ", count(" + expression + "), '|', string(" + expression + "), '|'";
        Document doc(c.document);
        expected += XmlPathQuery("count(" + expression + ")").string(doc.root()).toUtf8() + "|";
        Document again(c.document);
        expected += XmlPathQuery("string(" + expression + ")").string(again.root()).toUtf8() + "|";
    }
    EXPECT_EQ(expected + "\n", xmllint(file, all + ")"));
    std::remove(file.c_str());
}
} // namespace

TEST(XmlPathQuery, SelectsWhatXmllintSelects) {
    compareWithXmllint({kLibrary, kLibraryExpressions, sizeof kLibraryExpressions / sizeof *kLibraryExpressions});
    compareWithXmllint({kOrders, kOrdersExpressions, sizeof kOrdersExpressions / sizeof *kOrdersExpressions});
}

TEST(XmlPathQuery, TheSameNodesInEveryCodePage) {
    // The engine sees only the tree, so a message in UTF-16 of either byte order or EBCDIC gives
    // the very values it gives in UTF-8.
    const struct {
        int ccsid;
        int byteOrder;
        int encoding;
    } pages[] = {{1200, 1, 273}, {1200, -1, 546}, {37, 1, 546}, {1047, 1, 546}};
    for (const char* expression : kOrdersExpressions) {
        Document utf8(kOrders);
        std::vector<std::string> expected;
        for (const auto& m : XmlPathQuery(expression).all(utf8.root())) expected.push_back(XmlPathQuery::stringValue(m).toUtf8());
        for (const auto& page : pages) {
            SCOPED_TRACE(std::string(expression) + " in " + std::to_string(page.ccsid));
            Document doc(encodeAs(kOrders, page.ccsid, page.byteOrder), page.ccsid, page.encoding);
            std::vector<std::string> got;
            for (const auto& m : XmlPathQuery(expression).all(doc.root())) got.push_back(XmlPathQuery::stringValue(m).toUtf8());
            EXPECT_EQ(got, expected);
        }
    }
}

TEST(XmlPathQuery, ScansNoFurtherThanTheAnswerNeeds) {
    std::string big = "<m><h id=\"first\">head</h><h id=\"second\"/>";
    int records = 0;
    for (; big.size() < 512 * 1024; ++records) big += "<r a=\"1\">some record text</r>\n";
    std::string broken = big + "<broken";
    big += "<h id=\"last\"/></m>";

    Document whole(big);
    ASSERT_EQ(XmlPathQuery("count(/m/*)").number(whole.root()), records + 3);
    const unsigned long all = whole.steps();
    ASSERT_GT(all, 10000u);

    const char* const firstAnswers[] = {"/m/h/@id", "//h/@id", "m/h[1]", "/m/*[1]/text()", "string(/m/h/@id)",
                                        "//r[1]/@a", "/m/h[@id='second']"};
    for (const char* expression : firstAnswers) {
        SCOPED_TRACE(expression);
        Document doc(broken);
        XmlPathQuery query(expression);
        XmlPathQuery::Match m = query.first(doc.root());
        ASSERT_TRUE(m || query.resultKind() != XmlPathQuery::ResultKind::Nodes);
        EXPECT_LT(doc.steps(), 20u) << "a first match near the start scans only the start";
    }
    // Every match of a path whose positions are spent, or under the one document element, is
    // also found without reading on.
    for (const char* expression : {"/m/h[2]/@id", "/m/@x", "/m[1]/h[1]"}) {
        SCOPED_TRACE(expression);
        Document doc(broken);
        EXPECT_NO_THROW(XmlPathQuery(expression).all(doc.root()));
        EXPECT_LT(doc.steps(), 20u);
    }
    // All of //h must read to the end: the last h is there.
    Document doc(big);
    std::vector<std::string> ids;
    for (const auto& m : XmlPathQuery("//h/@id").all(doc.root())) ids.push_back(XmlPathQuery::stringValue(m).toUtf8());
    EXPECT_EQ(ids, (std::vector<std::string>{"first", "second", "last"}));
    // A broken end is reported when the walk needs it.
    Document bad(broken);
    EXPECT_THROW(XmlPathQuery("//h").all(bad.root()), KelException);
}

TEST(XmlPathQuery, ValuesAndOwnersForEditing) {
    Document doc(kOrders);
    XmlPathQuery q("/orders/order[2]/@priority");
    ASSERT_NE(q.finalAttributeName(), nullptr);
    EXPECT_EQ(q.finalAttributeName()->toUtf8(), "priority");
    EXPECT_FALSE(q.first(doc.root()));
    XmlPathQuery owner = q.ownerQuery();
    XmlPathQuery::Match o = owner.first(doc.root());
    ASSERT_TRUE(o);
    EXPECT_EQ(XmlPathQuery("@id").string(o.element).toUtf8(), "o2");
    EXPECT_EQ(XmlPathQuery("//item[1]").finalAttributeName(), nullptr);
    EXPECT_EQ(XmlPathQuery("//@*").finalAttributeName(), nullptr);
    // Relative paths start at the element given; '..' climbs from it.
    EXPECT_EQ(XmlPathQuery("../status").string(XmlPathQuery("//item[@sku='C']").first(doc.root()).element).toUtf8(), "closed");
    EXPECT_EQ(XmlPathQuery("count(item)").number(o.element), 1);
    EXPECT_EQ(XmlPathQuery("/orders/order[3]/@id").string(o.element).toUtf8(), "o3");
    // Numbers as XPath writes them.
    EXPECT_EQ(XmlPathQuery("count(//item)").string(doc.root()).toUtf8(), "3");
    EXPECT_TRUE(std::isnan(XmlPathQuery("//status").number(doc.root())));
    EXPECT_EQ(XmlPathQuery("//item/@qty").number(doc.root()), 2);
}

// Setting what a path selects, the one rule behind `quarn write --set` and the front door: an
// element's text replaces all its content but its attributes (as `xmlstarlet ed -u` does), a
// text node's replaces its whole run, a missing final attribute is added. Outputs are written
// with span reuse and read back with libxml2.
TEST(XmlPathQuery, SettingAValueReplacesWhatTheNodeStandsFor) {
    const struct {
        const char* document;
        const char* path;
        const char* value;
        std::size_t set;
        const char* expected;
    } cases[] = {
        {"<a><b>u<c>t</c>v</b></a>", "a/b", "x", 1, "<a><b>x</b></a>"},
        {"<a><b k='1'>u<!--c--><?p d?><c/>&amp;v</b><b>w</b></a>", "a/b", "x", 2, "<a><b k='1'>x</b><b>x</b></a>"},
        {"<a><b><c/></b></a>", "a/b", "", 1, "<a><b></b></a>"},
        {"<a><b>u<![CDATA[w]]>v<c/>z</b></a>", "a/b/text()[1]", "x", 1, "<a><b>x<c/>z</b></a>"},
        {"<!DOCTYPE a [<!ENTITY e 'E'>]><a><b>u&e;v<c/></b></a>", "a/b/text()", "x", 1, "<a><b>x<c/></b></a>"},
        {"<a><b k='1'>u<c/></b></a>", "a/b/@k", "2", 1, "<a><b k='2'>u<c/></b></a>"},
        {"<a><!--old--><b/></a>", "a/comment()", "new", 1, "<a><!--new--><b/></a>"},
        {"<a><b/><b m='1'/></a>", "a/b/@n", "3", 2, "<a><b n='3'/><b m='1' n='3'/></a>"},
        {"<a><b/></a>", "a/c", "3", 0, "<a><b/></a>"},
    };
    for (const auto& c : cases) {
        Document doc(c.document);
        EXPECT_EQ(XmlPathQuery(c.path).setValues(doc.root(), KelStringBase::fromUtf8(c.value)), c.set) << c.path;
        KelWriteBuffer out(1208);
        doc.parser.refreshBitStreamFromElements(nullptr, &out, doc.root(), 546, 1208);
        EXPECT_TRUE(libxml_reading::readsAs(out.toString(), c.expected)) << c.document << " " << c.path;
    }
    Document doc("<a>t</a>");
    EXPECT_THROW(XmlPathQuery("/").setValues(doc.root(), KelStringBase(u"x")), std::invalid_argument);
    EXPECT_EQ(XmlPathQuery("a").string(doc.root()).toUtf8(), "t");
}

TEST(XmlPathQuery, RefusesWhatItDoesNotSupportWithThePlace) {
    const struct {
        const char* expression;
        std::size_t offset;
    } bad[] = {{"", 0},           {"/a/", 3},        {"a[", 2},       {"a[1", 3},        {"a/@b/c", 5},
               {"a/foo()", 2},    {"child::a", 5},   {"a[@x='y]", 5}, {"//..", 4},      {"a)", 1},
               {"count(a", 7},    {"a b", 2},        {"@", 1},        {"a[]", 2}};
    for (const auto& b : bad) {
        SCOPED_TRACE(b.expression);
        try {
            XmlPathQuery q(b.expression);
            ADD_FAILURE() << "accepted";
        } catch (const XmlPathQuery::SyntaxError& e) {
            EXPECT_EQ(e.offset(), b.offset) << e.what();
            EXPECT_NE(std::string(e.what()).find(b.expression), std::string::npos);
        }
    }
}

TEST(XmlPathQuery, DeepDocumentsAndDeepExpressions) {
    // The walk keeps its own stack: a document far deeper than any call stack could follow.
    const int depth = 40000;
    std::string deep;
    for (int i = 0; i < depth; ++i) deep += "<d>";
    deep += "<leaf id='x'/>";
    for (int i = 0; i < depth; ++i) deep += "</d>";
    Document doc(deep);
    EXPECT_EQ(XmlPathQuery("//leaf/@id").string(doc.root()).toUtf8(), "x");
    EXPECT_EQ(XmlPathQuery("count(//d[leaf]/..)").number(doc.root()), 1);
    // An expression nested beyond reason is refused, not followed into a stack overflow.
    std::string nested = "a";
    for (int i = 0; i < 10000; ++i) nested += "[b";
    for (int i = 0; i < 10000; ++i) nested += "]";
    EXPECT_THROW(XmlPathQuery{nested}, XmlPathQuery::SyntaxError);
    EXPECT_THROW(XmlPathQuery(std::string(5000, '(') + "1" + std::string(5000, ')')), XmlPathQuery::SyntaxError);
    EXPECT_NO_THROW(XmlPathQuery("a[b[c[d[(((1)))]]]]"));
}

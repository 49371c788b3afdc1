// The builder's limits on one document: each one, when passed, ends the scan with a parse error
// that names it and its value, leaves what was built usable, and does not stop a document that
// stays just within it. Exponential and quadratic entity blow-ups must fail fast.
#include "tests/builder/BuilderTestDocument.hpp"

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

namespace {

using Doc = BuilderTestDocument;

// Walks the whole tree in document order without recursion (documents may be very deep);
// returns the exception that stopped the walk, if any.
std::unique_ptr<KelException> walkAll(KelSyntaxElement* top) {
    try {
        KelSyntaxElement* e = top;
        while (e) {
            if (KelSyntaxElement* child = e->firstChild()) {
                e = child;
                continue;
            }
            while (e != top && !e->nextSibling()) e = e->parent();
            e = e == top ? nullptr : e->nextSibling();
        }
    } catch (const KelException& failure) {
        return failure.clone();
    }
    return nullptr;
}

// "name=value" of the limit that stopped the document, or what stopped it instead.
std::string stoppedBy(Doc& doc) {
    auto failure = walkAll(doc.root());
    if (!failure) return "nothing";
    if (failure->catalogueNumber() != 5009 || failure->nested().size() != 1) return failure->what();
    const KelException& cause = *failure->nested().front();
    if (cause.catalogueNumber() != 5011) return cause.what();
    EXPECT_EQ(cause.text(), "The document exceeds a limit of the XML parser.");
    EXPECT_EQ(cause.inserts().size(), 5u);
    return cause.inserts()[0] + "=" + cause.inserts()[1];
}

std::string stoppedBy(const std::string& text, const XmlBuilderLimits* limits = nullptr) {
    Doc doc(text);
    if (limits) doc.builder()->setLimits(*limits);
    return stoppedBy(doc);
}

std::string repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

std::string laughs(const std::string& use) {
    std::string text = "<!DOCTYPE l [<!ENTITY l0 \"lol\">";
    for (int level = 1; level <= 9; ++level)
        text += "<!ENTITY l" + std::to_string(level) + " \"" + repeat("&l" + std::to_string(level - 1) + ";", 10) +
                "\">";
    return text + "]>" + use;
}

TEST(Limits, ExponentialEntityExpansionStopsAtTheExpansionCount) {
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(stoppedBy(laughs("<l>&l9;</l>")), "entity expansions=50000");
    EXPECT_EQ(stoppedBy(laughs("<l a='&l9;'/>")), "entity expansions=50000");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));

    XmlBuilderLimits few;
    few.entityExpansions = 3;
    const std::string decl = "<!DOCTYPE r [<!ENTITY e \"x\">]>";
    EXPECT_EQ(stoppedBy(decl + "<r>&e;&e;&e;</r>", &few), "nothing");
    EXPECT_EQ(stoppedBy(decl + "<r>&e;&e;&e;&e;</r>", &few), "entity expansions=3");
    // The scanner does not count parameter entities used between declarations: what they
    // produce counts as expanded text instead.
    XmlBuilderLimits text;
    text.expandedText = 2000;
    const std::string pe = "<!DOCTYPE r [<!ENTITY % p \"<!--" + std::string(200, 'c') + "-->\">";
    EXPECT_EQ(stoppedBy(pe + repeat("%p;", 5) + "]><r/>", &text), "nothing");
    EXPECT_EQ(stoppedBy(pe + repeat("%p;", 20) + "]><r/>", &text), "expanded text=2000");
}

TEST(Limits, QuadraticBlowUpStopsAtTheExpandedText) {
    XmlBuilderLimits small;
    small.expandedText = 100000;
    const std::string big(10000, 'x');
    const std::string decl = "<!DOCTYPE r [<!ENTITY big \"" + big + "\"><!ATTLIST d v CDATA \"" + big + "\">]>";
    // A large entity used many times: the expansion count drops to what the text limit allows
    // (100000 / 10000), in attribute values and in content alike.
    EXPECT_EQ(stoppedBy(decl + "<r a='" + repeat("&big;", 11) + "'/>", &small), "entity expansions=10");
    EXPECT_EQ(stoppedBy(decl + "<r>" + repeat("&big;", 11) + "</r>", &small), "entity expansions=10");
    EXPECT_EQ(stoppedBy(decl + "<r>" + repeat("&big;", 10) + "</r>", &small), "nothing");
    // A long default value repeated by short tags costs no expansion at all.
    EXPECT_EQ(stoppedBy(decl + "<r>" + repeat("<d/>", 20) + "</r>", &small), "expanded text=100000");
    EXPECT_EQ(stoppedBy(decl + "<r>" + repeat("<d/>", 5) + "</r>", &small), "nothing");
    // Text that the document spells out itself is not expansion, however long.
    EXPECT_EQ(stoppedBy("<r a='" + std::string(300000, 'y') + "'>" + std::string(300000, 'z') + "</r>", &small),
              "nothing");
    // The defaults let a megabyte-long entity be used once but not a hundred times.
    const std::string mega = "<!DOCTYPE r [<!ENTITY m \"" + std::string(1 << 20, 'm') + "\">]>";
    EXPECT_EQ(stoppedBy(mega + "<r a='&m;'>&m;</r>"), "nothing");
    EXPECT_EQ(stoppedBy(mega + "<r a='" + repeat("&m;", 100) + "'/>"), "entity expansions=16");
}

TEST(Limits, AttributesNamesDepthAndElementCount) {
    XmlBuilderLimits limits;
    limits.attributesPerElement = 20;
    auto tag = [](int attributes) {
        std::string t = "<r";
        for (int i = 0; i < attributes; ++i) t += " a" + std::to_string(i) + "='v'";
        return t + "/>";
    };
    EXPECT_EQ(stoppedBy(tag(20), &limits), "nothing");
    EXPECT_EQ(stoppedBy(tag(21), &limits), "attributes per element=20");
    // Defaulted attributes count too.
    EXPECT_EQ(stoppedBy("<!DOCTYPE r [<!ATTLIST r z CDATA 'd'>]>" + tag(20), &limits), "attributes per element=20");

    // Names of every kind, at the default.
    const std::string ok(4096, 'n'), tooLong(4097, 'n');
    EXPECT_EQ(stoppedBy("<" + ok + "/>"), "nothing");
    EXPECT_EQ(stoppedBy("<" + tooLong + "/>"), "name length=4096");
    EXPECT_EQ(stoppedBy("<r " + tooLong + "='1'/>"), "name length=4096");
    EXPECT_EQ(stoppedBy("<r><?" + tooLong + " x?></r>"), "name length=4096");
    EXPECT_EQ(stoppedBy("<!DOCTYPE r [<!ENTITY " + tooLong + " 'v'>]><r/>"), "name length=4096");

    // Nesting: a document at the default depth parses, passes the checks and is written anew
    // (nothing may recurse along the depth); one level more is refused.
    {
        const int deep = 1000000;
        Doc doc(repeat("<d>", deep - 1) + "<e/>" + repeat("</d>", deep - 1));
        EXPECT_EQ(stoppedBy(doc), "nothing");
        doc.parser.validate();
        KelWriteBuffer out(1208);
        doc.documentElement()->setName(ks("w"));
        doc.parser.refreshBitStreamFromElements(nullptr, &out, doc.root(), 546, 1208);
        const std::string expected = "<w>" + repeat("<d>", deep - 2) + "<e/>" + repeat("</d>", deep - 2) + "</w>";
        const std::string written = out.toString();
        const auto differ = std::mismatch(expected.begin(), expected.end(), written.begin(), written.end());
        EXPECT_EQ(written.size(), expected.size());
        EXPECT_TRUE(differ.first == expected.end())
            << "at " << (differ.first - expected.begin()) << ": "
            << written.substr(static_cast<std::size_t>(differ.second - written.begin()), 40);
    }
    limits = XmlBuilderLimits();
    limits.nestingDepth = 50;
    EXPECT_EQ(stoppedBy(repeat("<d>", 50) + repeat("</d>", 50), &limits), "nothing");
    EXPECT_EQ(stoppedBy(repeat("<d>", 49) + "<e/>" + repeat("</d>", 49), &limits), "nothing");
    EXPECT_EQ(stoppedBy(repeat("<d>", 51) + repeat("</d>", 51), &limits), "nesting depth=50");

    // Element count: every kind of element counts (here the root's children, the element, its
    // attribute and its text).
    limits = XmlBuilderLimits();
    limits.elementCount = 300;
    EXPECT_EQ(stoppedBy("<r>" + repeat("<i a='1'>t</i>", 99) + "</r>", &limits), "nothing");
    Doc doc("<r>" + repeat("<i a='1'>t</i>", 100) + "</r>");
    doc.builder()->setLimits(limits);
    EXPECT_EQ(stoppedBy(doc), "element count=300");
    // What was built before the limit stays in the tree and can be read and written.
    KelSyntaxElement* r = doc.root()->knownFirstChild();
    ASSERT_NE(r, nullptr);
    int items = 0;
    for (KelSyntaxElement* c = r->knownFirstChild(); c; c = c->knownNextSibling()) ++items;
    EXPECT_GE(items, 90);
    EXPECT_EQ(r->knownFirstChild()->knownFirstChild()->actualValue().valueAsCharacter().toUtf8(), "1");
    // A new bitstream starts the counts again.
    doc.load("<r>" + repeat("<i a='1'>t</i>", 99) + "</r>");
    EXPECT_EQ(stoppedBy(doc), "nothing");
}

} // namespace

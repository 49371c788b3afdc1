// The builder's limits on one document: each one, when passed, ends the scan with a parse error
// that names it and its value, leaves what was built usable, and does not stop a document that
// stays just within it. What expansion adds is bounded in proportion to the document, wherever
// the expansion happens; ordinary documents pass however many references or defaults they hold.
#include "tests/builder/BuilderTestDocument.hpp"
#include "tests/support/HostileDocuments.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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


// A chain of nine entities, each ten references to the one below: "lol" 10^9 times.
std::string laughsDecl() {
    std::string text = "<!ENTITY l0 \"lol\">";
    for (int level = 1; level <= 9; ++level)
        text += "<!ENTITY l" + std::to_string(level) + " \"" + repeat("&l" + std::to_string(level - 1) + ";", 10) +
                "\">";
    return text;
}

TEST(Limits, ExponentialExpansionStopsWhereverTheReferenceStands) {
    const std::string decl = "<!DOCTYPE l [" + laughsDecl();
    // In an attribute default (which no document event shows while the scanner builds it) and
    // between declarations through a chain of parameter entities (each value spells its
    // references with "&#37;" for '%'); content and attribute values are among the hostile
    // documents below.
    EXPECT_EQ(stoppedBy(decl + "<!ATTLIST l a CDATA '&l8;'>]><l/>"), "amplification factor=100");
    std::string pe = "<!DOCTYPE l [<!ENTITY % p0 \"<!ENTITY x 'lol'>\">";
    for (int level = 1; level <= 9; ++level)
        pe += "<!ENTITY % p" + std::to_string(level) + " \"" +
              repeat("&#37;p" + std::to_string(level - 1) + ";", 10) + "\">";
    EXPECT_EQ(stoppedBy(pe + "%p9;]><l/>"), "amplification factor=100");

    // A host's own ceiling on expansions counts every kind of reference alike.
    XmlBuilderLimits few;
    few.entityExpansions = 3;
    const std::string e = "<!DOCTYPE r [<!ENTITY e \"x\">";
    EXPECT_EQ(stoppedBy(e + "]><r>&e;&e;&e;</r>", &few), "nothing");
    EXPECT_EQ(stoppedBy(e + "]><r>&e;&e;&e;&e;</r>", &few), "entity expansions=3");
    EXPECT_EQ(stoppedBy(e + "<!ATTLIST r a CDATA '&e;&e;&e;'>]><r/>", &few), "nothing");
    EXPECT_EQ(stoppedBy(e + "<!ATTLIST r a CDATA '&e;&e;&e;&e;'>]><r/>", &few), "entity expansions=3");
    const std::string p = "<!DOCTYPE r [<!ENTITY % p \"<!--c-->\">";
    EXPECT_EQ(stoppedBy(p + "%p;%p;%p;]><r/>", &few), "nothing");
    EXPECT_EQ(stoppedBy(p + "%p;%p;%p;%p;]><r/>", &few), "entity expansions=3");
}

TEST(Limits, AmplificationFollowsTheDocumentsOwnSize) {
    XmlBuilderLimits small;
    small.amplificationThreshold = 10000;
    small.amplificationFactor = 10;
    const std::string big(1000, 'x');
    const std::string decl = "<!DOCTYPE r [<!ENTITY big \"" + big + "\"><!ATTLIST d v CDATA \"" + big + "\">]>";
    // Under the threshold nothing is refused, however large the factor.
    EXPECT_EQ(stoppedBy(decl + "<r>" + repeat("&big;", 5) + "</r>", &small), "nothing");
    EXPECT_EQ(stoppedBy(decl + "<r>" + repeat("<d/>", 5) + "</r>", &small), "nothing");
    // Past it, twenty copies of a thousand units from a document of about a thousand bytes are
    // refused, in content, in attribute values and as defaults alike...
    EXPECT_EQ(stoppedBy(decl + "<r>" + repeat("&big;", 20) + "</r>", &small), "amplification factor=10");
    EXPECT_EQ(stoppedBy(decl + "<r a='" + repeat("&big;", 20) + "'/>", &small), "amplification factor=10");
    EXPECT_EQ(stoppedBy(decl + "<r>" + repeat("<d/>", 20) + "</r>", &small), "amplification factor=10");
    // ...but the same twenty pass in a document three times as long: the bound follows the input.
    const std::string own = "<!--" + std::string(2000, 'c') + "-->";
    EXPECT_EQ(stoppedBy(decl + own + "<r>" + repeat("&big;", 20) + "</r>", &small), "nothing");
    EXPECT_EQ(stoppedBy(decl + own + "<r>" + repeat("<d/>", 20) + "</r>", &small), "nothing");
    // Text that the document spells out itself is not expansion, however long.
    EXPECT_EQ(stoppedBy("<r a='" + std::string(300000, 'y') + "'>" + std::string(300000, 'z') + "</r>", &small),
              "nothing");
    // Elements made by expanding an entity count, not only its text: four bytes of "<i/>" make
    // an element each.
    const std::string items = "<!DOCTYPE r [<!ENTITY i \"" + repeat("<i/>", 50) + "\">]>";
    EXPECT_EQ(stoppedBy(items + "<r>&i;</r>", &small), "nothing");
    EXPECT_EQ(stoppedBy(items + "<r>" + repeat("&i;", 40) + "</r>", &small), "amplification factor=10");

    // The defaults let a 100 KiB entity be used fifty times but not a hundred and fifty times.
    const std::string large = "<!DOCTYPE r [<!ENTITY m \"" + std::string(100 << 10, 'm') + "\">]>";
    EXPECT_EQ(stoppedBy(large + "<r a='&m;'>" + repeat("&m;", 49) + "</r>"), "nothing");
    EXPECT_EQ(stoppedBy(large + "<r a='" + repeat("&m;", 150) + "'/>"), "amplification factor=100");
}

// What the scanner holds for the declarations is bounded in proportion to the document, as
// expansion is: a content model of a million bytes took some 500 bytes a particle (a 4 MB message
// held 1.1 GB while it was checked). Element declarations of an ordinary size pass.
TEST(Limits, ScannerMemoryFollowsTheDocumentsOwnSize) {
    const auto model = [](int particles) {
        std::string m = "a";
        for (int i = 1; i < particles; ++i) m += ",a";
        return "<!DOCTYPE r [<!ELEMENT r (" + m + ")>]>";
    };
    EXPECT_EQ(stoppedBy(model(600000) + "<r/>"), "scanner memory factor=32");
    EXPECT_EQ(stoppedBy(model(20000) + "<r/>"), "nothing");
    std::string declarations = "<!DOCTYPE r [";
    for (int i = 0; i < 40000; ++i) declarations += "<!ELEMENT n" + std::to_string(i) + " (a|b)*>";
    EXPECT_EQ(stoppedBy(declarations + "]><r/>"), "nothing");
    // Content is not bounded so: the scanner keeps a declaration for every element name it meets
    // there, some 500 bytes for a name of a few bytes, and such a document is well-formed.
    std::string distinct = "<r>";
    for (int i = 0; i < 300000; ++i) distinct += "<n" + std::to_string(i) + "/>";
    EXPECT_EQ(stoppedBy(distinct + "</r>"), "nothing");
    // Past a lowered threshold, the same model is refused in a short document and passes in one
    // ten times as long.
    XmlBuilderLimits small;
    small.scannerMemoryThreshold = 1 << 20;
    EXPECT_EQ(stoppedBy(model(20000) + "<r/>", &small), "scanner memory factor=32");
    EXPECT_EQ(stoppedBy(model(20000) + "<r/><!--" + std::string(400000, 'c') + "-->", &small), "nothing");
}

TEST(Limits, EntityDepth) {
    // e0 holds a letter, each e(n) a reference to e(n-1): using e(n) opens n + 1 entities.
    auto chain = [](int levels) {
        std::string text = "<!DOCTYPE r [<!ENTITY e0 \"x\">";
        for (int n = 1; n < levels; ++n)
            text += "<!ENTITY e" + std::to_string(n) + " \"&e" + std::to_string(n - 1) + ";\">";
        return text + "]><r>&e" + std::to_string(levels - 1) + ";</r>";
    };
    EXPECT_EQ(stoppedBy(chain(40)), "nothing");
    EXPECT_EQ(stoppedBy(chain(41)), "entity depth=40");
    // Fifty thousand levels stop at the forty-first, long before the readers use up memory.
    EXPECT_EQ(stoppedBy(chain(50000)), "entity depth=40");
    XmlBuilderLimits shallow;
    shallow.entityDepth = 3;
    EXPECT_EQ(stoppedBy(chain(3), &shallow), "nothing");
    EXPECT_EQ(stoppedBy(chain(4), &shallow), "entity depth=3");
    // Parameter entities nest the same way between declarations.
    const std::string pe =
        "<!DOCTYPE r [<!ENTITY % a \"<!--a-->\"><!ENTITY % b \"&#37;a;\"><!ENTITY % c \"&#37;b;\">"
        "<!ENTITY % d \"&#37;c;\">";
    EXPECT_EQ(stoppedBy(pe + "%c;]><r/>", &shallow), "nothing");
    EXPECT_EQ(stoppedBy(pe + "%d;]><r/>", &shallow), "entity depth=3");
}

TEST(Limits, OrdinaryDocumentsWithManyReferencesOrDefaultsPass) {
    // 50 001 references to a one-character entity, and 200 000 empty elements that each get a
    // 100-character default: ordinary documents, however many of them there are.
    std::string nbsp = "<!DOCTYPE r [<!ENTITY nbsp \"&#160;\">]><r>";
    for (int i = 0; i < 50001; ++i) nbsp += "<p>a&nbsp;b</p>";
    EXPECT_EQ(stoppedBy(nbsp + "</r>"), "nothing");
    const std::string defaults = "<!DOCTYPE r [<!ATTLIST e a CDATA \"" + std::string(100, 'd') + "\">]><r>" +
                                 repeat("<e/>", 200000) + "</r>";
    Doc doc(defaults);
    EXPECT_EQ(stoppedBy(doc), "nothing");
    KelSyntaxElement* last = doc.documentElement()->lastChild();
    ASSERT_NE(last, nullptr);
    ASSERT_NE(last->firstChild(), nullptr);
    EXPECT_EQ(last->firstChild()->actualValue().valueAsCharacter().toUtf8(), std::string(100, 'd'));
    // What expansion added was measured: the defaults, and each reference.
    EXPECT_GE(doc.builder()->expansionMeter().added(), 200000ull * 101);
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

namespace {

// Hostile documents of at most 100 KiB: each must parse or end in a limit's error (5011), or be
// refused as not well-formed when it is not, never end in anything else. What they cost in memory
// and time is measured by bench/hostile, not here.
TEST(Limits, HostileDocumentsUpTo100KiBParseOrEndInALimit) {
    for (const HostileDocument& doc : HostileDocuments::all()) {
        EXPECT_LE(doc.text.size(), 100u * 1024) << doc.shape;
        const std::string outcome = stoppedBy(doc.text);
        const bool limit = outcome.find('=') != std::string::npos && outcome.find("QRV") == std::string::npos;
        if (doc.wellFormed) EXPECT_TRUE(outcome == "nothing" || limit) << doc.shape << ": " << outcome;
        else EXPECT_NE(outcome, "nothing") << doc.shape;
    }
}

} // namespace

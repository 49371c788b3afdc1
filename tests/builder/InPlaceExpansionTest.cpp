// Plain entity text expanded where its reference stands must give exactly what a reader per
// reference gives: the same tree (types, names, values, spans, start tags), the same failure at
// the same place, the same expansion counts, and the same answers from the tree-less check.
#include "BuilderTestDocument.hpp"

#include "builder/XmlTreelessChecker.hpp"
#include "tests/support/ConformanceManifest.hpp"
#include "tests/support/HostileDocuments.hpp"
#include "tests/support/TestDocumentCodePage.hpp"

#include <string>
#include <vector>

namespace {

using Doc = BuilderTestDocument;

struct Outcome {
    std::string tree;       // every element after a full walk, with its span
    std::string failure;    // the walk's failure, if any
    std::string check;      // the tree-less check's element count or failure
    std::string meter;      // what expansion added, as the meter counted it
    unsigned long inPlace = 0;   // references expanded in place
    unsigned long steps = 0;     // scan steps of the walk
    std::string frontiers;       // where the tree could be cut after each step, stepping alone
};

// Every element in document order, one line each, after a full walk (iteratively: some
// documents nest deeper than a test's stack would follow).
std::string dump(Doc& doc) {
    std::string out;
    KelSyntaxElement* const root = doc.root();
    int depth = 0;
    for (KelSyntaxElement* e = root; e != nullptr;) {
        const XmlKelSyntaxElement* x = xml(e);
        out += std::to_string(depth) + " " + std::to_string(e->typeCode()) + " '" + e->storedName().toUtf8() + "' = '" +
               e->storedValue().valueAsCharacter().toUtf8() + "' [" + std::to_string(doc.spanStart(e)) + ", " +
               std::to_string(x->getBufferEnd() != nullptr ? x->getBufferEnd() - doc.base() : -1) + ") tag " +
               std::to_string(x->startTagLength()) + (x->isDoubleQuotedAttribute() ? "\n" : " '\n");
        if (KelSyntaxElement* child = e->knownFirstChild()) {
            e = child;
            ++depth;
            continue;
        }
        while (e != root && e->knownNextSibling() == nullptr) {
            e = e->parent();
            --depth;
        }
        e = e == root ? nullptr : e->knownNextSibling();
    }
    return out;
}

// Navigates to every element, as a host's full walk does.
void walk(KelSyntaxElement* root) {
    for (KelSyntaxElement* e = root; e != nullptr;) {
        if (KelSyntaxElement* child = e->firstChild()) {
            e = child;
            continue;
        }
        while (e != root && e->nextSibling() == nullptr) e = e->parent();
        e = e == root ? nullptr : e->nextSibling();
    }
}

Outcome parse(const std::string& bytes, int ccsid, int encoding, bool inPlace, const XmlBuilderLimits& limits) {
    Outcome result;
    Doc doc(bytes, ccsid, encoding);
    doc.builder()->setLimits(limits);
    doc.builder()->setExpandEntitiesInPlace(inPlace);
    doc.load(bytes, ccsid, encoding);
    try {
        walk(doc.root());
    } catch (const KelException& e) {
        result.failure = e.what();
    }
    result.tree = dump(doc);
    const XmlExpansionMeter& meter = doc.builder()->expansionMeter();
    result.meter = std::to_string(meter.added()) + " added, " + std::to_string(meter.expansions()) + " expansions, " +
                   std::to_string(meter.deepest()) + " deep, " + std::to_string(doc.builder()->bytesConsumed()) + " read";
    result.inPlace = doc.builder()->expansionsInPlace();
    result.steps = doc.builder()->stepCount();

    // Step by step: the frontier a partial write appends the input from.
    Doc stepped(bytes, ccsid, encoding);
    stepped.builder()->setLimits(limits);
    stepped.builder()->setExpandEntitiesInPlace(inPlace);
    stepped.load(bytes, ccsid, encoding);
    while (stepped.builder()->canScan()) {
        const unsigned long steps = stepped.builder()->stepCount();
        try {
            stepped.builder()->parseNextItem();
        } catch (const KelException&) {
            break;
        }
        if (stepped.builder()->stepCount() == steps) break;   // the root is complete
        const unsigned char* frontier = stepped.builder()->frontier();
        result.frontiers += std::to_string(frontier != nullptr ? frontier - stepped.base() : -1) + " ";
    }

    XmlTreelessChecker checker(&doc.parser);
    checker.setExpandEntitiesInPlace(inPlace);
    try {
        result.check = std::to_string(checker.check(KelBuffer::fromString(bytes), ccsid, encoding, limits, ks("r")));
    } catch (const KelException& e) {
        result.check = e.what();
    }
    return result;
}

// Both ways over `bytes`; the references the default way expanded in place.
unsigned long expectSameAnswers(const std::string& label, const std::string& bytes, int ccsid = 1208,
                                                          int encoding = 546, const XmlBuilderLimits& limits = {}) {
    const Outcome inPlace = parse(bytes, ccsid, encoding, true, limits);
    const Outcome reader = parse(bytes, ccsid, encoding, false, limits);
    EXPECT_EQ(inPlace.failure, reader.failure) << label;
    EXPECT_EQ(inPlace.tree, reader.tree) << label;
    EXPECT_EQ(inPlace.check, reader.check) << label;
    EXPECT_EQ(inPlace.meter, reader.meter) << label;
    // The same steps too: a lazy walk meets each failure at the same navigation.
    EXPECT_EQ(inPlace.steps, reader.steps) << label;
    EXPECT_EQ(inPlace.frontiers, reader.frontiers) << label;
    EXPECT_EQ(reader.inPlace, 0u) << label;
    return inPlace.inPlace;
}

const std::string kSubset = "<!DOCTYPE r [<!ENTITY e 'plain text'><!ENTITY z ''><!ENTITY m 'caf\xC3\xA9 \xE2\x82\xAC\t\n x'>"
                            "<!ENTITY cr 'a&#13;b'><!ENTITY f '<b>&e;</b>x'><!ENTITY g 'y&e;'><!ENTITY h '>]'>]>";

TEST(InPlaceExpansion, PlainEntityTextGivesWhatAReaderPerReferenceGives) {
    struct Case {
        const char* label;
        std::string content;   // of the document element
        bool expandsInPlace;   // at least one reference is expanded in place
    };
    const std::vector<Case> cases = {
        {"between text (not in place: the scan would take a step less)", "a&e;b", false},
        {"before a tag and at the start", "&e;<i>&m;</i>&e;", true},
        {"empty entity text", "x&z;y&z;<i/>", true},
        {"next to another reference", "&e;&e;&z;&e;", true},
        {"after character references", "&#65;&e;<i/>&lt;&e;<i/>&amp;", true},
        {"no ]]> across a reference", "]]&e;>]&e;]>]]&z;>", false},
        {"]]> after a reference", "&e;]]>", false},
        {"a reference after ]]", "]]&e;<i/>>", true},
        {"text a reader changes", "&cr;x&cr;", false},
        {"inside another entity's text", "&f;&g;z", true},
        {"in an attribute value", "<i a='&e;' b=\"&m;&e;\">&e;</i>", true},
        {"after a CDATA section and a comment", "<![CDATA[]]]]>&e;<!--c-->&e;<?p d?>&e;", true},
    };
    for (const Case& c : cases) {
        const std::string doc = kSubset + "<r>" + c.content + "</r>";
        const unsigned long inPlace = expectSameAnswers(c.label, doc);
        if (c.expandsInPlace) EXPECT_GT(inPlace, 0u) << c.label << ": nothing was expanded in place";
        else EXPECT_EQ(inPlace, 0u) << c.label;
        // The same in the other page families: the positions come from other readers.
        expectSameAnswers(std::string(c.label) + " (UTF-16LE)", encodeAs(doc, 1200, -1), 1200, 546);
        expectSameAnswers(std::string(c.label) + " (EBCDIC 1140)", encodeAs(doc, 1140), 1140, 546);
    }
    // A reference to an undeclared entity (no error here: the external subset may declare it) keeps
    // the ']]>' check as a reader would.
    expectSameAnswers("undeclared after ]]", "<!DOCTYPE r SYSTEM 'x.dtd' [<!ENTITY e 't'>]><r>]]&e;&u;>&u;&e;x</r>");
}

TEST(InPlaceExpansion, RandomMixesOfReferencesAndTheTextAroundThemGiveTheSameAnswers) {
    // Pieces that meet a reference from either side: the parts of a "]]>", other references of
    // every kind, markup, line ends, text a reader changes, and references to an entity declared
    // nowhere (no error where an external subset may declare it).
    const std::vector<std::string> pieces = {"&e;", "&z;", "&m;", "&f;", "&g;", "&h;", "&cr;", "&u;", "]", "]]", ">",
                                             "x", " ", "&#93;", "&gt;", "&amp;", "<i/>", "<i>&e;</i>",
                                             "<![CDATA[]]]]>", "<!--c-->", "\r\n", "\xC3\xA9", "\t"};
    unsigned state = 12345;
    const auto next = [&state](unsigned bound) {
        state = state * 1103515245u + 12345u;
        return (state >> 16) % bound;
    };
    unsigned long inPlace = 0;
    for (int round = 0; round < 400; ++round) {
        const bool external = round % 2 == 1;
        std::string content;
        for (unsigned n = 1 + next(12); n > 0; --n) {
            const std::string& piece = pieces[next(static_cast<unsigned>(pieces.size()))];
            if (piece == "&u;" && !external) continue;
            content += piece;
        }
        std::string doc = kSubset + "<r>" + content + "</r>";
        if (external) doc.replace(doc.find("<!DOCTYPE r "), 12, "<!DOCTYPE r SYSTEM 'x.dtd' ");
        inPlace += expectSameAnswers("mix " + std::to_string(round) + ": " + content, doc);
    }
    EXPECT_GT(inPlace, 100u);
}

TEST(InPlaceExpansion, LimitsStopBothWaysAtTheSamePlace) {
    const std::string many = kSubset + "<r>" + HostileDocuments::repeat("<i>&m;</i>&e;\n", 200) + "</r>";
    // Each limit at several neighbouring values, so that it trips at every kind of event: a
    // reference's start, its text, its end, and what follows.
    const auto limited = [](int kind, unsigned long value) {
        XmlBuilderLimits limits;
        if (kind == 0) limits.elementCount = value;
        if (kind == 1) limits.entityExpansions = value - 200;
        if (kind == 2) {
            limits.amplificationThreshold = value * 12;
            limits.amplificationFactor = 1;
        }
        if (kind == 3) limits.entityDepth = value - 500;
        return limits;
    };
    const char* const names[] = {"element count", "entity expansions", "amplification", "entity depth"};
    for (int kind = 0; kind < 4; ++kind) {
        for (unsigned long value = 500; value < (kind == 3 ? 501u : 508u); ++value) {
            const std::string label = std::string(names[kind]) + " " + std::to_string(value);
            EXPECT_NE(parse(many, 1208, 546, true, limited(kind, value)).failure, "") << label << ": not reached";
            expectSameAnswers(label, many, 1208, 546, limited(kind, value));
        }
    }
}

TEST(InPlaceExpansion, SameAnswersOverTheSuiteAndTheHostileDocuments) {
    for (const HostileDocument& d : HostileDocuments::all()) expectSameAnswers(d.shape, d.text);
    int compared = 0;
    const bool present = ConformanceManifest::forEachDocument([&compared](const ConformanceCase& c, const std::string& bytes) {
        const TestDocumentCodePage page = TestDocumentCodePage::of(bytes);
        expectSameAnswers(c.id, bytes, page.ccsid, page.encoding);
        ++compared;
    });
    if (!present) GTEST_SKIP() << "no conformance suite under " << QUARN_CONFORMANCE_DIR;
    EXPECT_GT(compared, 700);
}

} // namespace

// Writing a partly scanned tree: the built part is written and the input from the scan frontier
// on is appended as it stands. Each case writes a message edited lazily and the same message
// edited after a full build, and the two outputs must be the same bytes; whether the write
// stopped at the frontier or had to build the rest (an open element renamed, something put after
// the frontier, a frontier in an entity's text, a character the output page lacks) is checked
// from the elements built. Every output is also read back by libxml2 from its own mark and
// declaration.
#include "WriterTestDocument.hpp"
#include "tests/support/LibxmlCanonicalReader.hpp"

#include "host/KelConverter.hpp"
#include "host/KelException.hpp"

#include <libxml/parser.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using Edit = std::function<void(KelSyntaxElement* root)>;

KelSyntaxElement* firstElement(KelSyntaxElement* parent, int index = 0) {
    return WriterTestDocument::child(parent, XmlTypeElement, index);
}
KelSyntaxElement* attribute(KelSyntaxElement* element, const char* name) {
    for (KelSyntaxElement* c = element->firstChild(); c && c->type() == XmlTypeAttribute; c = c->knownNextSibling())
        if (c->name().toUtf8() == name) return c;
    return nullptr;
}

void walkAll(KelSyntaxElement* e) {
    for (KelSyntaxElement* c = e->firstChild(); c; c = c->nextSibling()) walkAll(c);
}

std::string write(XmlKelParser& parser, long ccsid, long encoding) {
    KelWriteBuffer out(static_cast<int>(ccsid));
    parser.refreshBitStreamFromElements(nullptr, &out, parser.rootElement(), static_cast<int>(encoding),
                                        static_cast<int>(ccsid));
    return out.toString();
}

bool libxml2Reads(const std::string& bytes) {
    xmlDocPtr doc = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (doc == nullptr) return false;
    xmlFreeDoc(doc);
    return true;
}

// Where two outputs part, with a little of each, instead of both whole.
std::string firstDifference(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    if (i == a.size() && i == b.size()) return "same";
    const std::size_t from = i > 20 ? i - 20 : 0;
    return "at byte " + std::to_string(i) + " of " + std::to_string(a.size()) + "/" + std::to_string(b.size()) +
           ": [" + a.substr(from, 40) + "] vs [" + b.substr(from, 40) + "]";
}
#define EXPECT_SAME_BYTES(a, b) EXPECT_EQ(firstDifference(a, b), "same")

struct Outcome {
    std::string lazy, full, rewritten;
    bool stoppedAtFrontier = false;
};

// `edit` applied to a lazily parsed message and to a fully built one; both written.
Outcome writeBoth(const std::string& input, const Edit& edit, long outCcsid = 1208, long outEncoding = 546,
                  int inCcsid = 1208, int inEncoding = 546) {
    Outcome o;
    WriterTestDocument full(input, inCcsid, inEncoding);
    walkAll(full.root());
    edit(full.root());
    o.full = write(full.parser, outCcsid, outEncoding);

    WriterTestDocument lazy(input, inCcsid, inEncoding);
    edit(lazy.root());
    const std::size_t builtBefore = lazy.parser.elementPool().elementCount();
    o.lazy = write(lazy.parser, outCcsid, outEncoding);
    o.stoppedAtFrontier = !lazy.root()->isCompleteRight() && lazy.parser.elementPool().elementCount() == builtBefore;
    EXPECT_TRUE(libxml2Reads(o.lazy)) << o.lazy.substr(0, 200);
    // The tree can still be navigated and written again, now whole, as the full build was.
    walkAll(lazy.root());
    o.rewritten = write(lazy.parser, outCcsid, outEncoding);
    EXPECT_SAME_BYTES(o.rewritten, o.full);
    return o;
}

std::string records(int count, const std::string& extra = "") {
    std::string doc = "<?xml version=\"1.0\"?>\n<!-- feed -->\n<batch id=\"b1\" kind='daily'>";
    for (int i = 0; i < count; ++i)
        doc += "\n  <record n=\"" + std::to_string(i) + "\"><v a='x'>value " + std::to_string(i) + extra +
               "</v><w/></record>";
    return doc + "\n</batch>\n<!-- end -->\n";
}

const Edit kSetFirstRecordAttribute = [](KelSyntaxElement* root) {
    attribute(firstElement(firstElement(root)), "n")->setValue(KelStringBase(u"first"));
};

TEST(FrontierCopy, AnEditNearTheTopWritesWhatIsBuiltAndCopiesTheRest) {
    const std::string input = records(80);
    Outcome same = writeBoth(input, kSetFirstRecordAttribute);
    EXPECT_TRUE(same.stoppedAtFrontier);
    EXPECT_SAME_BYTES(same.lazy, same.full);
    std::string expected = input;
    expected.replace(expected.find("n=\"0\""), 5, "n=\"first\"");
    EXPECT_SAME_BYTES(same.lazy, expected);

    // An edit of the document element's own attribute: its start tag is rewritten, everything
    // after it (its end tag included, blank and all) is the input's.
    Outcome top = writeBoth(input, [](KelSyntaxElement* root) {
        attribute(firstElement(root), "kind")->setValue(KelStringBase(u"weekly"));
    });
    EXPECT_TRUE(top.stoppedAtFrontier);
    EXPECT_SAME_BYTES(top.lazy, top.full);

    // The end tag of an element whose attribute changed is the input's, blanks and all, whether
    // it lies after the frontier or was built.
    std::string spaced = input;
    spaced.replace(spaced.find("</batch>"), 8, "</batch >");
    Outcome kept = writeBoth(spaced, [](KelSyntaxElement* root) {
        attribute(firstElement(root), "kind")->setValue(KelStringBase(u"weekly"));
    });
    EXPECT_TRUE(kept.stoppedAtFrontier);
    EXPECT_NE(kept.lazy.find("</batch >"), std::string::npos);
    EXPECT_SAME_BYTES(kept.lazy, kept.full);
}

TEST(FrontierCopy, TheRestIsConvertedAsOneStretchToAnotherPageOrByteOrder) {
    const std::string input = records(50, " \xC3\xA4\xE2\x82\xAC");   // a-umlaut, euro sign
    for (long encoding : {546L, 273L}) {
        Outcome utf16 = writeBoth(input, kSetFirstRecordAttribute, 1200, encoding);
        EXPECT_TRUE(utf16.stoppedAtFrontier) << encoding;
        EXPECT_SAME_BYTES(utf16.lazy, utf16.full) << encoding;
    }
    // UTF-16 in, the other byte order out: the rest is swapped; then into UTF-8.
    KelWriteBuffer utf16be(1200);
    utf16be.appendMbs(KelStringBase::fromUtf8(input), 1200, 1);
    const std::string big = "\xFE\xFF" + utf16be.toString();
    Outcome swapped = writeBoth(big, kSetFirstRecordAttribute, 1200, 546, 1200, 273);
    EXPECT_TRUE(swapped.stoppedAtFrontier);
    EXPECT_SAME_BYTES(swapped.lazy, swapped.full);
    Outcome narrowed = writeBoth(big, kSetFirstRecordAttribute, 1208, 546, 1200, 273);
    EXPECT_TRUE(narrowed.stoppedAtFrontier);
    EXPECT_SAME_BYTES(narrowed.lazy, narrowed.full);
    // A single-byte page that holds every character of the rest (EBCDIC with the euro: 1140),
    // from a message whose declaration names the page it is written in.
    std::string declared = input;
    declared.replace(0, declared.find("?>") + 2, "<?xml version=\"1.0\" encoding=\"IBM01140\"?>");
    Outcome ebcdic = writeBoth(declared, kSetFirstRecordAttribute, 1140, 546);
    EXPECT_TRUE(ebcdic.stoppedAtFrontier);
    EXPECT_SAME_BYTES(ebcdic.lazy, ebcdic.full);
    // An EBCDIC message whose lines end in NL, into UTF-8 and UTF-16: NL is a line end to the
    // tree but U+0085, a character, to every reader of those pages, so the rest is built and its
    // lines end in LF there.
    KelWriteBuffer nl(37);
    nl.appendMbs(KelStringBase::fromUtf8(records(30)), 37, 0);
    std::string nlBytes = nl.toString();
    for (char& b : nlBytes)
        if (b == '\x25') b = '\x15';
    std::string edited = records(30);
    edited.replace(edited.find("n=\"0\""), 5, "n=\"first\"");
    const LibxmlReading expected = LibxmlCanonicalReader::read(edited);
    for (long out : {1208L, 1200L}) {
        Outcome o = writeBoth(nlBytes, kSetFirstRecordAttribute, out, 546, 37, 785);
        EXPECT_SAME_BYTES(o.lazy, o.full);
        const LibxmlReading read = LibxmlCanonicalReader::read(o.lazy);
        EXPECT_TRUE(read.ok && read.canonical == expected.canonical) << out << ": " << read.error;
    }
}

TEST(FrontierCopy, ACharacterTheOutputPageLacksMakesTheWriteBuildTheRest) {
    const std::string input = records(30, " \xE2\x82\xAC");   // no euro sign in ISO 8859-1
    Outcome o = writeBoth(input, kSetFirstRecordAttribute, 819, 546);
    EXPECT_FALSE(o.stoppedAtFrontier);
    EXPECT_SAME_BYTES(o.lazy, o.full);
    EXPECT_NE(o.lazy.find("&#x20AC;"), std::string::npos);
}

TEST(FrontierCopy, CharactersAPageRefusesDespiteItsTableMakeTheWriteBuildTheRest) {
    // The IBM PC tables give DEL a byte other readers take for U+001C; an EBCDIC page gives
    // U+0085 NL, a line end to every reader of the page. The rest is not copied through the
    // table but built, where the character becomes a reference.
    struct Case {
        const char* text;   // in the records, UTF-8
        long ccsid;
        char byte;          // what the table would have written
        const char* reference;   // what stands for it instead, in the page
    };
    for (const Case& c : {Case{" \x7F", 850, '\x1C', "&#x7F;"},
                          Case{" \xC2\x85", 37, '\x15', "\x50\x7B\xA7\xF8\xF5\x5E"}}) {
        Outcome o = writeBoth(records(30, c.text), kSetFirstRecordAttribute, c.ccsid, 546);
        EXPECT_FALSE(o.stoppedAtFrontier) << c.ccsid;
        EXPECT_SAME_BYTES(o.lazy, o.full);
        EXPECT_EQ(o.lazy.find(c.byte), std::string::npos) << c.ccsid;
        EXPECT_NE(o.lazy.find(c.reference), std::string::npos) << c.ccsid;
    }
    // ICU's tables give a default-ignorable character they lack (zero-width space, byte-order
    // mark, soft hyphen in a page without one) no byte at all, without a word: the rest is built,
    // where it becomes a reference, and a comment holding one fails the write.
    struct Invisible {
        const char* text;
        long ccsid;
        const char* reference;
    };
    for (const Invisible& c : {Invisible{" \xE2\x80\x8B", 819, "&#x200B;"}, Invisible{" \xC2\xAD", 943, "&#xAD;"},
                               Invisible{" \xEF\xBB\xBF", 37, "\x50\x7B\xA7\xC6\xC5\xC6\xC6\x5E"}}) {
        Outcome o = writeBoth(records(30, c.text), kSetFirstRecordAttribute, c.ccsid, 546);
        EXPECT_FALSE(o.stoppedAtFrontier) << c.ccsid;
        EXPECT_SAME_BYTES(o.lazy, o.full);
        EXPECT_NE(o.lazy.find(c.reference), std::string::npos) << c.ccsid;

        WriterTestDocument lazy(records(30, std::string("<!--") + c.text + "-->"));
        kSetFirstRecordAttribute(lazy.root());
        KelWriteBuffer out(static_cast<int>(c.ccsid));
        int raised = 0;
        try {
            lazy.parser.refreshBitStreamFromElements(nullptr, &out, lazy.root(), 546, static_cast<int>(c.ccsid));
        } catch (const KelException& e) {
            raised = e.catalogueNumber();
        }
        EXPECT_EQ(raised, 5010) << c.ccsid << " wrote: " << out.toString().substr(0, 300);
    }
}

TEST(FrontierCopy, AnOpenElementRenamedRetypedOrFollowedByNewElementsStopsTheCopy) {
    const std::string input = "<r a='1'><h x='1'/><body n='1'>" + records(20).substr(records(20).find("<batch")) +
                              "</body><t/></r>";
    // Renamed: its end tag in the rest would no longer match.
    Outcome renamed = writeBoth(input, [](KelSyntaxElement* root) {
        KelSyntaxElement* body = firstElement(firstElement(root), 1);
        firstElement(firstElement(body));   // scan into the first record
        body->setName(KelStringBase(u"corpus"));
    });
    EXPECT_FALSE(renamed.stoppedAtFrontier);
    EXPECT_SAME_BYTES(renamed.lazy, renamed.full);
    EXPECT_NE(renamed.lazy.find("</corpus>"), std::string::npos);
    // Retyped.
    Outcome retyped = writeBoth(input, [](KelSyntaxElement* root) {
        KelSyntaxElement* batch = firstElement(firstElement(firstElement(root), 1));
        firstElement(batch);
        batch->setType(XmlTypeComment);
        batch->setValue(KelStringBase(u"gone"));
    });
    EXPECT_FALSE(retyped.stoppedAtFrontier);
    EXPECT_SAME_BYTES(retyped.lazy, retyped.full);
    // A sibling after the frontier: an element moved behind an open one.
    Outcome moved = writeBoth(input, [](KelSyntaxElement* root) {
        KelSyntaxElement* r = firstElement(root);
        KelSyntaxElement* h = firstElement(r);
        KelSyntaxElement* body = firstElement(r, 1);
        firstElement(body);
        body->attachAfter(h);
    });
    EXPECT_FALSE(moved.stoppedAtFrontier);
    EXPECT_SAME_BYTES(moved.lazy, moved.full);
    // A child after the frontier: a new element after the last one scanned.
    Outcome appended = writeBoth(input, [](KelSyntaxElement* root) {
        KelSyntaxElement* batch = firstElement(firstElement(firstElement(root), 1));
        KelSyntaxElement* record = firstElement(batch);
        KelSyntaxElement* added = record->createAfter(KelStringBase(u"added"));
        added->setType(XmlTypeElement);
    });
    EXPECT_FALSE(appended.stoppedAtFrontier);
    EXPECT_SAME_BYTES(appended.lazy, appended.full);
    EXPECT_NE(appended.lazy.find("<added/>"), std::string::npos);
    // The same edits made before the open element began (attribute of a closed element) keep it.
    Outcome before = writeBoth(input, [](KelSyntaxElement* root) {
        KelSyntaxElement* r = firstElement(root);
        attribute(firstElement(r), "x")->setValue(KelStringBase(u"2"));
        firstElement(firstElement(firstElement(r, 1)));
    });
    EXPECT_TRUE(before.stoppedAtFrontier);
    EXPECT_SAME_BYTES(before.lazy, before.full);
}

TEST(FrontierCopy, AFrontierInAnEntitysTextIsNotCutThere) {
    // The entity's text is longer than the few steps the write takes to find a frontier.
    std::string text;
    for (int i = 0; i < 200; ++i) text += "<x i='" + std::to_string(i) + "'/>";
    const std::string input = "<!DOCTYPE r [<!ENTITY e \"" + text + "\">]><r a='1'>&e;<z/><z/></r>";
    Outcome o = writeBoth(input, [](KelSyntaxElement* root) {
        KelSyntaxElement* r = firstElement(root);
        attribute(r, "a")->setValue(KelStringBase(u"2"));
        firstElement(r);   // the first element of the entity's text
    });
    EXPECT_FALSE(o.stoppedAtFrontier);
    EXPECT_SAME_BYTES(o.lazy, o.full);
    EXPECT_NE(o.lazy.find("&e;<z/>"), std::string::npos) << o.lazy;
    // A short entity is left behind in a few steps, and the copy goes on after its reference.
    const std::string shortText = "<!DOCTYPE r [<!ENTITY e \"<x/>\">]><r a='1'>&e;<z/><z/></r>";
    Outcome after = writeBoth(shortText, [](KelSyntaxElement* root) {
        KelSyntaxElement* r = firstElement(root);
        attribute(r, "a")->setValue(KelStringBase(u"2"));
        firstElement(r);
    });
    EXPECT_SAME_BYTES(after.lazy, after.full);
}

TEST(FrontierCopy, WithoutSpanReuseNothingChanges) {
    const std::string input = records(10);
    WriterTestDocument doc(input, 1208, 546, false);
    kSetFirstRecordAttribute(doc.root());
    write(doc.parser, 1208, 546);
    EXPECT_TRUE(doc.root()->isCompleteRight()) << "the write stopped at the frontier without spans";
}

// The rest after the frontier is passed on unscanned, so a write must find what a full parse
// would: a broken rest fails the write with the parse error that navigation and validate() give,
// and nothing is written. A host that trusts its input may skip the check.
TEST(FrontierCopy, ABrokenRestFailsTheWriteUnlessTheInputIsTrusted) {
    const std::vector<std::string> broken = {
        "<order><id>1</id><items><item>a</item><item>b</oops></items></order>",
        "<order><id>1</id><items/></order><second/>",
        "<order><id>1</id><items>&undeclared;</items></order>",
        "<order><id>1</id><items>\xff</items></order>",
        "<order><id>1</id><items>",
    };
    for (const std::string& input : broken) {
        int validated = 0;
        {
            WriterTestDocument doc(input);
            try {
                doc.parser.validate();
            } catch (const KelParserException& e) {
                validated = e.catalogueNumber();
            }
        }
        ASSERT_EQ(validated, 5009) << input;
        WriterTestDocument doc(input);
        KelSyntaxElement* id = firstElement(firstElement(doc.root()));
        id->firstChild()->setValue(KelStringBase(u"2"));
        KelWriteBuffer out(1208);
        int raised = 0;
        try {
            doc.parser.refreshBitStreamFromElements(nullptr, &out, doc.root(), 546, 1208);
        } catch (const KelParserException& e) {
            raised = e.catalogueNumber();
        }
        EXPECT_EQ(raised, validated) << input << " was written as: " << out.toString();
        EXPECT_EQ(out.used(), 0) << input;

        WriterTestDocument trusted(input);
        trusted.parser.setTrustedInput(true);
        firstElement(firstElement(trusted.root()))->firstChild()->setValue(KelStringBase(u"2"));
        const std::string copied = write(trusted.parser, 1208, 546);
        EXPECT_NE(copied.find("<id>2</id>"), std::string::npos) << "a trusted rest is copied as it stands";
    }
    // A sound rest is checked whole, still without building it.
    WriterTestDocument doc(records(50));
    kSetFirstRecordAttribute(doc.root());
    write(doc.parser, 1208, 546);
    EXPECT_EQ(doc.parser.xmlElementsChecked(), 1 + 50 * 3);
    EXPECT_FALSE(doc.root()->isCompleteRight());
}

} // namespace

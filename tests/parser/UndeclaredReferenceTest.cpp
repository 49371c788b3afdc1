// References to entities that no declaration read defines (their declarations may stand in an
// external subset, which is never read, or nowhere in a document that uses parameter entities):
// kept in the tree as references with no content, written back as they stood in content and in
// attribute values, in every input page; still an error where the document could not declare them.
#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "host/KelMessageGroup.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelWriteBuffer.hpp"
#include "common/XmlElementType.hpp"
#include "parser/XmlKelParser.hpp"

#include "LibxmlReading.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
struct Document {
    KelMessageGroup group;
    XmlKelParser parser;
    std::string bytes;
    Document(const std::string& text, int ccsid = 1208, int encoding = 546, bool spanReuse = true)
        : parser(&group, spanReuse), bytes(text) {
        parser.initialize();
        parser.refreshElementsFromBitStream(nullptr, KelBuffer::fromString(bytes), encoding, ccsid);
    }
    KelSyntaxElement* body() {
        for (KelSyntaxElement* c = parser.rootElement()->firstChild(); c; c = c->nextSibling())
            if (c->type() == XmlTypeElement) return c;
        return nullptr;
    }
    static KelSyntaxElement* child(KelSyntaxElement* e, const char* name) {
        for (KelSyntaxElement* c = e->firstChild(); c; c = c->nextSibling())
            if (c->name().toUtf8() == name) return c;
        return nullptr;
    }
    std::vector<std::string> children(KelSyntaxElement* e) {
        std::vector<std::string> out;
        for (KelSyntaxElement* c = e->firstChild(); c; c = c->nextSibling()) {
            std::string s = xmlElementTypeName(c->type());
            if (!c->name().empty()) s += ":" + c->name().toUtf8();
            if (c->type() & kXmlValueBit) s += "=" + c->actualValue().valueAsCharacter().toUtf8();
            out.push_back(s);
        }
        return out;
    }
    std::string write(int ccsid = 1208) {
        KelWriteBuffer out(ccsid);
        parser.refreshBitStreamFromElements(nullptr, &out, parser.rootElement(), 546, ccsid);
        return out.toString();
    }
};

std::string encode(const std::string& utf8, int ccsid) {
    const KelConverter* converter = KelConverter::setCodepage(ccsid);
    const KelStringBase text = KelStringBase::fromUtf8(utf8);
    std::string out(converter->maxBytesFor(text.length()), '\0');
    out.resize(converter->convertFromUnicode(text.data(), text.length(),
                                             reinterpret_cast<unsigned char*>(&out[0]), out.size(), 0));
    return out;
}
} // namespace

TEST(UndeclaredReference, InContentItIsAReferenceWithNoContentAndIsWrittenBack) {
    Document d("<!DOCTYPE doc SYSTEM \"x.dtd\"><doc><a>1</a>&e;x&f;&e;</doc>");
    EXPECT_EQ(d.children(d.body()),
              (std::vector<std::string>{"XmlTypeElement:a", "XmlTypeEntityReferenceStart=e", "XmlTypeEntityReferenceEnd=e",
                                        "XmlTypeContent=x", "XmlTypeEntityReferenceStart=f",
                                        "XmlTypeEntityReferenceEnd=f", "XmlTypeEntityReferenceStart=e",
                                        "XmlTypeEntityReferenceEnd=e"}));
    EXPECT_EQ(d.body()->value().valueAsCharacter().toUtf8(), "x");   // the marks hold no text
    Document::child(d.body(), "a")->setValue(KelStringBase(u"2"));
    const std::string out = d.write();
    EXPECT_EQ(out, "<!DOCTYPE doc SYSTEM \"x.dtd\"><doc><a>2</a>&e;x&f;&e;</doc>");
    EXPECT_TRUE(libxml_reading::readsAs(out, "<!DOCTYPE doc SYSTEM \"x.dtd\"><doc><a>2</a>&e;x&f;&e;</doc>"));
}

TEST(UndeclaredReference, AnAttributeValueHoldingOneKeepsItsSourceTextUntilItIsSet) {
    const std::string doc = "<!DOCTYPE doc SYSTEM \"x.dtd\"><doc id=\"&internal;\" k='x&e;y&amp;z\"' p=\"p&amp;\">"
                            "<a>1</a></doc>";
    for (bool spanReuse : {true, false}) {
        Document d(doc, 1208, 546, spanReuse);
        KelSyntaxElement* body = d.body();
        // The values as the scanner read them: the undeclared references add nothing.
        EXPECT_EQ(Document::child(body, "id")->value().valueAsCharacter().toUtf8(), "");
        EXPECT_EQ(Document::child(body, "k")->value().valueAsCharacter().toUtf8(), "xy&z\"");
        Document::child(body, "a")->setValue(KelStringBase(u"2"));
        std::string out = d.write();
        const std::string expected = "<!DOCTYPE doc SYSTEM \"x.dtd\"><doc id=\"&internal;\" k='x&e;y&amp;z\"' "
                                     "p=\"p&amp;\"><a>2</a></doc>";
        EXPECT_EQ(out, expected) << spanReuse;
        EXPECT_TRUE(libxml_reading::readsAs(out, expected));
        // A value that is set is written from the value.
        Document::child(body, "id")->setValue(KelStringBase(u"n&1"));
        out = d.write();
        EXPECT_NE(out.find("<doc id=\"n&amp;1\" k='x&e;y&amp;z\"'"), std::string::npos) << out;
    }
}

TEST(UndeclaredReference, SourceTextIsKeptInEveryInputPage) {
    const std::string doc = "<!DOCTYPE doc SYSTEM \"x.dtd\"><doc id='\xc3\xa9&e;'>\xc3\xa9&f;<a>1</a></doc>";
    const std::string expected = "<!DOCTYPE doc SYSTEM \"x.dtd\"><doc id='\xc3\xa9&e;'>\xc3\xa9&f;<a>2</a></doc>";
    struct Page {
        int ccsid;
        int encoding;
        std::string bytes;
    };
    const std::string be = encode(doc, 1200);
    std::string le = be;
    for (std::size_t i = 0; i + 1 < le.size(); i += 2) std::swap(le[i], le[i + 1]);
    const Page pages[] = {{1200, 273, be}, {1200, 546, le}, {37, 546, encode(doc, 37)}, {819, 546, encode(doc, 819)}};
    for (const Page& page : pages) {
        Document d(page.bytes, page.ccsid, page.encoding);
        Document::child(d.body(), "a")->setValue(KelStringBase(u"2"));
        KelWriteBuffer out(1208);
        d.parser.refreshBitStreamFromElements(nullptr, &out, d.parser.rootElement(), 546, 1208);
        EXPECT_EQ(out.toString(), expected) << page.ccsid << "/" << page.encoding;
        // And back into the document's own page.
        KelWriteBuffer same(page.ccsid);
        d.parser.refreshBitStreamFromElements(nullptr, &same, d.parser.rootElement(), page.encoding, page.ccsid);
        EXPECT_EQ(same.toString(), page.ccsid == 1200 && page.encoding == 546
                                       ? [&] {
                                             std::string s = encode(expected, 1200);
                                             for (std::size_t i = 0; i + 1 < s.size(); i += 2) std::swap(s[i], s[i + 1]);
                                             return "\xff\xfe" + s;
                                         }()
                                       : page.ccsid == 1200 ? "\xfe\xff" + encode(expected, 1200)
                                                            : encode(expected, page.ccsid))
            << page.ccsid << "/" << page.encoding;
    }
}

TEST(UndeclaredReference, DeclaredEntitiesAndCharacterReferencesAreReadAsBefore) {
    Document d("<!DOCTYPE doc SYSTEM \"x.dtd\" [<!ENTITY d 'D<b/>'><!ENTITY t 'T'>]><doc v='&t;&amp;'>&d;&#65;&lt;"
               "&#x1F600;&e;<a>1</a></doc>");
    EXPECT_EQ(d.children(d.body()),
              (std::vector<std::string>{"XmlTypeAttribute:v=T&", "XmlTypeEntityReferenceStart=d", "XmlTypeContent=D",
                                        "XmlTypeElement:b", "XmlTypeEntityReferenceEnd=d",
                                        "XmlTypeContent=A<\xf0\x9f\x98\x80", "XmlTypeEntityReferenceStart=e",
                                        "XmlTypeEntityReferenceEnd=e", "XmlTypeElement:a"}));
    Document::child(d.body(), "a")->setValue(KelStringBase(u"2"));
    // The start tag of doc, whose attributes did not change, keeps its reference; the text
    // between the two references keeps its character references.
    EXPECT_EQ(d.write().substr(d.write().find("<doc")), "<doc v='&t;&amp;'>&d;&#65;&lt;&#x1F600;&e;<a>2</a></doc>");
}

TEST(UndeclaredReference, IsStillAnErrorWhereNothingCouldDeclareIt) {
    for (const char* doc : {"<doc>&e;</doc>", "<!DOCTYPE doc [<!ENTITY d 'x'>]><doc>&e;</doc>",
                            "<?xml version='1.0' standalone='yes'?><!DOCTYPE doc SYSTEM 'x.dtd'><doc>&e;</doc>",
                            "<doc a='&e;'/>", "<!DOCTYPE doc SYSTEM 'x.dtd'><doc>&e</doc>",
                            "<!DOCTYPE doc SYSTEM 'x.dtd'><doc>&;</doc>"}) {
        Document d(doc);
        try {
            d.parser.rootElement()->lastChild();
            ADD_FAILURE() << doc << " was accepted";
        } catch (const KelException& e) {
            EXPECT_EQ(e.catalogueNumber(), 5009u) << doc;
        }
    }
    // Where the document uses a parameter entity it is a validity error only, whether or not the
    // entity could declare it (an external one may; an internal one, all read, did not): kept.
    struct Kept {
        const char* doc;
        const char* name;
    };
    for (const Kept& k : {Kept{"<!DOCTYPE doc [<!ENTITY % p SYSTEM 'p.ent'>%p;]><doc>&e;</doc>", "e"},
                          Kept{"<!DOCTYPE doc [<!ENTITY % p ''>%p;]><doc>&e;</doc>", "e"},
                          Kept{"<!DOCTYPE foo [<!ENTITY % pe \"<!ENTITY ent1 'text'>\"> %pe; <!ELEMENT foo ANY>]>"
                               "<foo>&ent2;</foo>",
                               "ent2"}}) {
        Document kept(k.doc);
        EXPECT_EQ(kept.children(kept.body()),
                  (std::vector<std::string>{"XmlTypeEntityReferenceStart=" + std::string(k.name),
                                            "XmlTypeEntityReferenceEnd=" + std::string(k.name)}))
            << k.doc;
    }
    // What one document allowed does not carry over to the next.
    Document again("<!DOCTYPE doc [<!ENTITY % p ''>%p;]><doc>&e;</doc>");
    EXPECT_THROW(
        {
            again.parser.refreshElementsFromBitStream(nullptr, KelBuffer::fromString("<!DOCTYPE doc [<!ENTITY d 'x'>]><doc>&e;</doc>"),
                                                      546, 1208);
            again.parser.rootElement()->lastChild();
        },
        KelException);
}

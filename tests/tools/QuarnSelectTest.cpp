// quarn select, get and the edits through path expressions, and messages whose code page the
// command finds by itself: as a user runs them.
#include "tests/tools/QuarnRun.hpp"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <string>

namespace {
using namespace quarntest;

const std::string kExample = std::string(QUARN_SOURCE_DIR) + "/examples/purchase-order.xml";
const std::string kUtf16 = std::string(QUARN_SOURCE_DIR) + "/examples/purchase-order-utf16le.xml";
const std::string kEbcdic = std::string(QUARN_SOURCE_DIR) + "/examples/shipment-ebcdic37.xml";
} // namespace

TEST(QuarnSelect, PrintsEveryMatchElementsAsTheirOwnBytes) {
    Result items = quarn("select " + quote(kExample) + " //item");
    ASSERT_EQ(items.status, 0) << items.err;
    // The second item keeps its single quotes and its CDATA section: its bytes, not a rewrite.
    EXPECT_EQ(items.out, "<item sku=\"A-100\" qty=\"2\" price=\"19.90\">Blue widget</item>\n"
                         "<item sku=\"B-220\" qty='1' price=\"249.00\">Gear box <![CDATA[<large>]]></item>\n");
    // The same from UTF-16, printed as UTF-8.
    EXPECT_EQ(quarn("select " + quote(kUtf16) + " //item").out, items.out);
    EXPECT_EQ(quarn("select " + quote(kExample) + " '//item/@sku'").out, "A-100\nB-220\n");
    EXPECT_EQ(quarn("select --first " + quote(kExample) + " '//item/@sku'").out, "A-100\n");
    EXPECT_EQ(quarn("select " + quote(kExample) + " 'count(//@*)'").out, "10\n");
    EXPECT_EQ(quarn("select " + quote(kExample) + " 'string(//item[last()])'").out, "Gear box <large>\n");
    EXPECT_EQ(quarn("select " + quote(kExample) + " '//address[@country=\"DE\"]/text()'").out,
              "Hauptstra\xC3\x9F" "e 5, 80331 M\xC3\xBCnchen\n");
    Result none = quarn("select " + quote(kExample) + " //nothing");
    EXPECT_EQ(none.status, 3);
    EXPECT_EQ(none.out, "");
    Result bad = quarn("select " + quote(kExample) + " '//item[@qty'");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("expected ']'"), std::string::npos) << bad.err;
    EXPECT_EQ(quarn("select " + quote(kExample)).status, 2);
    // --first reads no further than its match: the broken end of this message is never met.
    std::string big = "<m><h id='first'>head</h>";
    while (big.size() < 256 * 1024) big += "<r a='1'>some record text</r>\n";
    Result first = quarn("select --first - '//h/@id'", big + "<broken");
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, "first\n");
    EXPECT_EQ(quarn("select - '//h/@id'", big + "<broken").status, 1);
}

TEST(QuarnSelect, ElementsFromAnEntitysTextArePrintedAsMarkup) {
    // They have no bytes of their own in the message: they are printed as a write of the message
    // writes markup, text and attribute values escaped again, so that a reader takes from the
    // printed element the values the tree holds.
    const std::string doc =
        "<!DOCTYPE r [<!ENTITY e \"<a x='&amp;lt;&quot;'><b/>t&amp;amp;&gt;<!--c--><?p d?></a>\">]><r>&e;</r>";
    Result a = quarn("select - //a", doc);
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(a.out, "<a x='&amp;lt;&quot;'><b/>t&amp;amp;&gt;<!--c--><?p d?></a>\n");
    EXPECT_EQ(quarn("select - //b", doc).out, "<b/>\n");
    // A tab, carriage return or line feed in a value printed raw reads back as a space.
    const struct {
        const char* value;      // as the entity's text gives it
        const char* expected;   // the value the tree holds
    } values[] = {{"1&#38;#9;2", "1\t2"}, {"1&#38;#13;2&#38;#10;3", "1\r2\n3"}, {"&#38;#34;&#38;#39;", "\"'"}};
    for (const auto& v : values) {
        const std::string message = "<!DOCTYPE r [<!ENTITY e \"<a x='" + std::string(v.value) + "'/>\">]><r>&e;</r>";
        Result printed = quarn("select - //a", message);
        ASSERT_EQ(printed.status, 0) << printed.err;
        EXPECT_EQ(quarn("get - //a/@x", message).out, std::string(v.expected) + "\n");
        xmlDocPtr read = xmlReadMemory(printed.out.data(), static_cast<int>(printed.out.size()), "a.xml", nullptr,
                                       XML_PARSE_NONET);
        ASSERT_NE(read, nullptr) << printed.out;
        xmlChar* x = xmlGetProp(xmlDocGetRootElement(read), reinterpret_cast<const xmlChar*>("x"));
        EXPECT_STREQ(reinterpret_cast<const char*>(x), v.expected) << printed.out;
        xmlFree(x);
        xmlFreeDoc(read);
    }
}

TEST(QuarnSelect, GetPrintsTheFirstValueAndEditsChangeEveryMatch) {
    EXPECT_EQ(quarn("get " + quote(kExample) + " '//item[@sku=\"B-220\"]/@qty'").out, "1\n");
    EXPECT_EQ(quarn("get " + quote(kExample) + " 'count(/order/item)'").out, "2\n");
    // An element's value is all of its text.
    EXPECT_EQ(quarn("get " + quote(kExample) + " order/item[2]").out, "Gear box <large>\n");
    const std::string original = slurp(kExample);
    // The '=' inside the predicate belongs to the path.
    Result one = quarn("write " + quote(kExample) + " --set '//item[@sku=\"B-220\"]/@qty=7'");
    ASSERT_EQ(one.status, 0) << one.err;
    std::string expected = original;
    expected.replace(expected.find("qty='1'"), 7, "qty='7'");
    EXPECT_EQ(one.out, expected);
    Result all = quarn("write " + quote(kExample) + " --set '//item/@qty=0' --delete '//comment()'");
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(quarn("select - '//item/@qty'", all.out).out, "0\n0\n");
    EXPECT_EQ(all.out.find("<!--"), std::string::npos);
    // A missing attribute is added to every element the rest of the path selects.
    Result added = quarn("write " + quote(kExample) + " --set '//item/@checked=yes'");
    EXPECT_EQ(quarn("select - '//item/@checked'", added.out).out, "yes\nyes\n");
    EXPECT_EQ(quarn("write " + quote(kExample) + " --set '//nothing/@x=1'").status, 2);
    EXPECT_EQ(quarn("write " + quote(kExample) + " --set 'count(//item)=1'").status, 2);
    EXPECT_EQ(quarn("write " + quote(kExample) + " --delete /").status, 2);
    // A text node goes whole, its CDATA section with it, as select shows it as one node.
    EXPECT_EQ(quarn("write - --delete '//item/text()'", "<r><item>Gear <![CDATA[<large>]]></item></r>").out,
              "<r><item></item></r>");
}

TEST(QuarnSelect, CodePagesFoundByThemselvesOrNamed) {
    const std::string expected = "PO-4711\n";
    // A UTF-16 message with its mark, an EBCDIC one by its "<?xml", a declared ISO-8859-1 one.
    EXPECT_EQ(quarn("get " + quote(kUtf16) + " order/@id").out, expected);
    Result ebcdic = quarn("check " + quote(kEbcdic));
    EXPECT_EQ(ebcdic.status, 0) << ebcdic.err;
    const std::string latin1 = "<?xml version='1.0' encoding='ISO-8859-1'?><a>M\xFCller</a>";
    EXPECT_EQ(quarn("get - a", latin1).out, "M\xC3\xBCller\n");
    // Written to another page and read back without saying which.
    Result be = quarn("write " + quote(kExample) + " --out-ccsid utf-16be");
    ASSERT_EQ(be.status, 0) << be.err;
    EXPECT_EQ(be.out.substr(0, 2), "\xFE\xFF");
    EXPECT_EQ(quarn("get - order/@id", be.out).out, expected);
    Result back = quarn("write - --out-ccsid utf-8", be.out);
    EXPECT_EQ(back.out, slurp(kExample));
    // Names and byte orders on the command line; a given ccsid decides over the bytes.
    EXPECT_EQ(quarn("get --ccsid iso-8859-1 - a", "<a>M\xFCller</a>").out, "M\xC3\xBCller\n");
    EXPECT_EQ(quarn("get --ccsid cp1047 " + quote(kEbcdic) + " 'count(//*)'").status, 0);
    const std::string bareLe("<\0a\0/\0>\0", 8);
    EXPECT_EQ(quarn("get --ccsid 1200 --byte-order le - 'count(/a)'", bareLe).out, "1\n");
    EXPECT_EQ(quarn("get --ccsid utf-16le - 'count(/a)'", bareLe).out, "1\n");
    EXPECT_EQ(quarn("get --ccsid 1208 - a", latin1).status, 1);
    // An EBCDIC message whose lines end in NL (0x15): an element printed from its bytes says what
    // the tree holds, a line end, and not U+0085, a character to every reader of UTF-8.
    const std::string nl37 = "\x4C\x99\x6E\x15\x4C\xA2\x40\x81\x7E\x7D\xF1\x7D\x6E\xA7\x15\xA8"
                             "\x4C\x61\xA2\x6E\x4C\x61\x99\x6E";   // <r>NL<s a='1'>xNLy</s></r>
    EXPECT_EQ(quarn("select --ccsid 37 - //s", nl37).out, "<s a='1'>x\ny</s>\n");
    EXPECT_EQ(quarn("get --ccsid 37 - r/s", nl37).out, "x\ny\n");
    // UTF-32 and encoding values with no byte order are refused clearly.
    Result utf32 = quarn("check -", std::string("\xFF\xFE\0\0<\0\0\0a\0\0\0/\0\0\0>\0\0\0", 20));
    EXPECT_EQ(utf32.status, 1);
    EXPECT_NE(utf32.err.find("UTF-32"), std::string::npos) << utf32.err;
    Result encoding = quarn("check --encoding 0 " + quote(kExample));
    EXPECT_EQ(encoding.status, 2);
    EXPECT_NE(encoding.err.find("byte order"), std::string::npos) << encoding.err;
    EXPECT_EQ(quarn("check --byte-order middle " + quote(kExample)).status, 2);
    EXPECT_EQ(quarn("check --ccsid klingon " + quote(kExample)).status, 2);
}

// The document node stands for a document: in a message that holds none (nothing, garbage)
// selecting it or counting it is refused with the parse error, as the element paths are; printed
// whole, it is read whole first, as an element is, so a document broken further on is refused
// too. In a sound message it is the whole message, counted once.
TEST(QuarnSelect, TheDocumentNodeOfWhatIsNoDocumentIsRefused) {
    const std::string sound = "<?xml version='1.0'?>\n<a><b/></a>\n";
    for (const std::string expression : {"/", ".", "count(/)", "count(.)"}) {
        const bool counted = expression.rfind("count", 0) == 0;
        for (const std::string& bad : {std::string(), std::string("garbage"), std::string("<a><b/>")}) {
            if (counted && !bad.empty() && bad[0] == '<') continue;   // a count reads no further than it needs
            const std::string file = tempPath("document-node.xml");
            spit(file, bad);
            const Result r = quarn("select " + quote(file) + " " + quote(expression));
            EXPECT_EQ(r.status, 1) << expression << " over '" << bad << "': " << r.out << r.err;
            EXPECT_EQ(r.out, "") << expression << " over '" << bad << "'";
            std::remove(file.c_str());
        }
        const Result r = quarn("select - " + quote(expression), sound);
        EXPECT_EQ(r.status, 0) << expression << ": " << r.err;
        EXPECT_EQ(r.out, counted ? "1\n" : "<?xml version='1.0'?>\n<a><b/></a>\n") << expression;
    }
}

// Values of every kind print as they are; an expression outside the engine is refused with what
// it uses (status 2), not with the token where the parse stopped.
TEST(QuarnSelect, ValuesOfEveryKindAndWhatIsNotSupported) {
    const struct {
        const char* expression;
        const char* out;
    } values[] = {
        {"sum(//item/@qty)", "3\n"},
        {"//item/@price > 200", "true\n"},
        {"concat(//item[1]/@sku, '/', (//item)[last()]/@sku)", "A-100/B-220\n"},
        {"//item[1]/@qty | //item[2]/@sku", "2\nB-220\n"},
        {"0 div 0", "NaN\n"},
    };
    for (const auto& v : values) {
        const Result r = quarn("select " + quote(kExample) + " " + quote(v.expression));
        EXPECT_EQ(r.status, 0) << v.expression << ": " << r.err;
        EXPECT_EQ(r.out, v.out) << v.expression;
        if (std::string(v.expression).find('|') == std::string::npos) {
            EXPECT_EQ(quarn("get " + quote(kExample) + " " + quote(v.expression)).out, v.out) << v.expression;
        }
    }
    // processing-instruction('target') takes that target's instructions, streamed as kept.
    const std::string pis = "<r><?a 1?><s><?b 2?></s><?b 3?><?bb 4?></r>";
    for (const char* command : {"select - \"//processing-instruction('b')\"", "select - '//processing-instruction(\"b\")'"})
        EXPECT_EQ(quarn(command, pis).out, "2\n3\n") << command;
    const Result lang = quarn("select " + quote(kExample) + " '//item[lang(\"en\")]'");
    EXPECT_EQ(lang.status, 2);
    EXPECT_NE(lang.err.find("function lang() is not supported at character 8"), std::string::npos) << lang.err;
    const Result unknown = quarn("get " + quote(kExample) + " 'upper-case(//item)'");
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("unknown function upper-case()"), std::string::npos) << unknown.err;
}

// -N binds a prefix as xmlstarlet's does: the envelope's own prefix and its default namespace
// are not the query's, and an unbound prefix still means the name as written.
TEST(QuarnSelect, NamespacesBoundOnTheCommandLine) {
    const std::string envelope =
        "<soap:Envelope xmlns:soap='http://schemas.xmlsoap.org/soap/envelope/'><soap:Body>"
        "<getPrice xmlns='urn:shop'><sku>B-220</sku></getPrice><sku>plain</sku>"
        "</soap:Body></soap:Envelope>";
    const std::string bind = "-N s=http://schemas.xmlsoap.org/soap/envelope/ --namespace=p=urn:shop ";
    Result r = quarn("select " + bind + "- '/s:Envelope/s:Body/p:getPrice/p:sku/text()'", envelope);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "B-220\n");
    EXPECT_EQ(quarn("get " + bind + "- 'count(//p:*)'", envelope).out, "2\n");
    EXPECT_EQ(quarn("get " + bind + "- 'name(/s:Envelope/s:Body/*[1])'", envelope).out, "getPrice\n");
    EXPECT_EQ(quarn("select - '//soap:Body/sku'", envelope).out, "<sku>plain</sku>\n");
    EXPECT_EQ(quarn("select -N soap=urn:other - '//soap:Body'", envelope).status, 3);
    for (const char* bad : {"-N s", "-N =urn:x", "-N s=", "-N a:b=urn:x"}) {
        const Result b = quarn(std::string("select ") + bad + " - //x", envelope);
        EXPECT_EQ(b.status, 2) << bad;
        EXPECT_NE(b.err.find("PREFIX=URI"), std::string::npos) << bad << ": " << b.err;
    }
    EXPECT_EQ(quarn("write -N s=urn:x -", envelope).status, 2);
}

// The front door: a document opened from bytes in any code page (found or given), read, changed
// and deleted by path, and written back with every unchanged element copied. Written messages
// are read back with libxml2, from their own byte-order mark and declaration.
#include "builder/XmlBuilderLimits.hpp"
#include "document/QuarnCodePages.hpp"
#include "document/QuarnDocument.hpp"
#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "host/KelParser.hpp"
#include "host/KelSyntaxElementPool.hpp"
#include "host/KelStringBase.hpp"
#include "host/KelSyntaxElement.hpp"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {
const std::string kOrder =
    "<?xml version='1.0'?>\n"
    "<!-- kept -->\n"
    "<order id='PO-1'>\n"
    "  <item  sku = \"A\"  qty='1'>Blue &amp; green</item>\n"
    "  <item sku=\"B\" qty='2'>Gear</item>\n"
    "  <note   >  spaced   </note   >\n"
    "</order>\n";

// `utf8` in a code page, through the host's converters.
std::string inPage(const std::string& utf8, int ccsid, bool bigEndian = false) {
    const KelStringBase text = KelStringBase::fromUtf8(utf8);
    if (KelConverter::isUtf16Ccsid(ccsid)) {
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            const char16_t c = text[i];
            const char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
            out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
        }
        return out;
    }
    std::string out(utf8.size() * 4 + 16, '\0');
    long length = static_cast<long>(out.size());
    KelConverter::setCodepage(ccsid)->fromUnicode(reinterpret_cast<unsigned char*>(&out[0]), length, text, false, 0);
    out.resize(static_cast<std::size_t>(length));
    return out;
}

// The string value of an XPath over `bytes` as libxml2 reads them (its own detection).
std::string libxml2Value(const std::string& bytes, const char* xpath) {
    xmlDocPtr doc = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), "out.xml", nullptr, XML_PARSE_NONET);
    if (!doc) return "<libxml2 could not read it>";
    xmlXPathContextPtr context = xmlXPathNewContext(doc);
    xmlXPathObjectPtr result = xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(xpath), context);
    xmlChar* text = xmlXPathCastToString(result);
    std::string value = reinterpret_cast<const char*>(text);
    xmlFree(text);
    xmlXPathFreeObject(result);
    xmlXPathFreeContext(context);
    xmlFreeDoc(doc);
    return value;
}
} // namespace

TEST(QuarnDocument, FindsTheCodePageAndAGivenOneDecides) {
    struct Case {
        const char* what;
        std::string bytes;
        int ccsid;
    };
    const std::string declared = "<?xml version='1.0' encoding='ISO-8859-1'?><m a='M\xC3\xBCnchen'>\xC3\xA9t\xC3\xA9</m>";
    const Case cases[] = {
        {"UTF-16LE with a mark", "\xFF\xFE" + inPage(kOrder, 1200, false), quarn::ccsid::detect},
        {"UTF-16BE with a mark", "\xFE\xFF" + inPage(kOrder, 1200, true), quarn::ccsid::detect},
        {"UTF-8 with a mark", "\xEF\xBB\xBF" + kOrder, quarn::ccsid::detect},
        {"EBCDIC 37 by its declaration", inPage("<?xml version='1.0' encoding='IBM037'?>" + kOrder.substr(21), 37),
         quarn::ccsid::detect},
        {"given UTF-8", kOrder, quarn::ccsid::utf8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        quarn::Document doc = quarn::Document::fromBytes(c.bytes, c.ccsid);
        EXPECT_EQ(doc.get("/order/@id"), "PO-1");
        EXPECT_EQ(doc.get("//item[1]"), "Blue & green");
    }
    quarn::Document latin = quarn::Document::fromBytes(inPage(declared, 819));
    EXPECT_EQ(latin.ccsid(), 819);
    EXPECT_EQ(latin.get("/m/@a"), "M\xC3\xBCnchen");
    EXPECT_EQ(latin.get("/m"), "\xC3\xA9t\xC3\xA9");
    // A given ccsid decides even against the declaration: the bytes are then read as UTF-8,
    // which these are not.
    quarn::Document given = quarn::Document::fromBytes(inPage(declared, 819), quarn::ccsid::utf8);
    EXPECT_THROW(given.get("/m/@a"), KelException);
    // An encoding value that names no byte order is refused, as the command refuses it for
    // --encoding, rather than read as big-endian.
    for (const int encoding : {0, 3, 1200}) {
        SCOPED_TRACE(encoding);
        EXPECT_THROW(quarn::Document::fromBytes(kOrder, quarn::ccsid::utf16, encoding), std::invalid_argument);
        EXPECT_THROW(quarn::Document::fromBytes(kOrder).write(quarn::ccsid::utf16, encoding), std::invalid_argument);
    }
    EXPECT_EQ(quarn::Document::fromBytes(kOrder).write(quarn::ccsid::utf16, 273).substr(0, 4), std::string("\xFE\xFF\0<", 4));
}

TEST(QuarnDocument, ReadsByPathLazilyAndSaysWhenAPathSelectsNothing) {
    // The message breaks after the header: what comes before it is still readable.
    quarn::Document doc = quarn::Document::fromBytes("<m><h id='first' n='2'/><h id='second'/><rest>...");
    EXPECT_EQ(doc.get("/m/h/@id"), "first");
    auto first = doc.first("//h[@n]");
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->name(), "h");
    EXPECT_EQ(first->xml(), "<h id='first' n='2'/>");
    EXPECT_THROW(doc.select("//h"), KelException);   // all of them needs the broken rest
    EXPECT_THROW(doc.write(quarn::ccsid::utf16), KelException);

    quarn::Document order = quarn::Document::fromBytes(kOrder);
    EXPECT_EQ(order.get("count(//item)"), "2");
    EXPECT_EQ(order.get("string(//item[last()]/@sku)"), "B");
    std::vector<quarn::Node> skus = order.select("//item/@sku");
    ASSERT_EQ(skus.size(), 2u);
    EXPECT_EQ(skus[0].kind(), quarn::Node::Kind::Attribute);
    EXPECT_EQ(skus[1].value(), "B");
    EXPECT_THROW(order.get("/order/@missing"), std::out_of_range);
    EXPECT_FALSE(order.first("//nothing").has_value());
    EXPECT_THROW(order.get("/order/item["), std::invalid_argument);
}

TEST(QuarnDocument, ElementsAsXmlAreTheirOwnBytesUntilTheyChange) {
    quarn::Document doc = quarn::Document::fromBytes("\xFE\xFF" + inPage(kOrder, 1200, true));
    EXPECT_EQ(doc.first("//item[1]")->xml(), "<item  sku = \"A\"  qty='1'>Blue &amp; green</item>");
    EXPECT_EQ(doc.first("/order/note")->xml(), "<note   >  spaced   </note   >");
    // A change rewrites the element; what did not change inside it is still its own bytes.
    doc.set("/order/@id", "PO-2");
    const std::string order = doc.first("/order")->xml();
    EXPECT_EQ(order.rfind("<order id='PO-2'>", 0), 0u) << order;
    EXPECT_NE(order.find("<item  sku = \"A\"  qty='1'>Blue &amp; green</item>"), std::string::npos) << order;
    EXPECT_NE(order.find("<note   >  spaced   </note   >"), std::string::npos) << order;
    EXPECT_EQ(libxml2Value(order, "/order/item[2]/@qty"), "2");
}

TEST(QuarnDocument, AChangedElementAsXmlIsWhatTheWriteWritesThereOrTheWritesRefusal) {
    // A changed element is shown as the message written now would carry it, and what the write
    // refuses (text no reader takes) is refused here too, never shown as if it were XML.
    struct Case {
        const char* message;
        const char* path;    // what is set
        const char* value;
        const char* shown;   // the element shown
        const char* check;   // an XPath over it for libxml2, with the value it must read
        const char* expected;
    };
    const Case cases[] = {
        {"<r a='1'><s  b = '2'/></r>", "/r/@a", "x", "/r", "/r/s/@b", "2"},
        {"<r a='1'/>", "/r/@a", "t\tc\rl\n<&\"'", "/r", "/r/@a", "t\tc\rl\n<&\"'"},
        {"<r><s>old</s><!--c--></r>", "/r/s", "]]> <&", "/r", "/r/s", "]]> <&"},
        {"<r><s q='1'>\n <t/></s></r>", "/r/s/t", "n", "/r/s", "/s/t", "n"},
        {"<r><s>x</s></r>", "/r/s", "\x01", "/r", nullptr, nullptr},
        {"<r><!--c--><s/></r>", "/r/comment()", "a--b", "/r", nullptr, nullptr},
        {"<r><?p d?></r>", "/r/processing-instruction()", "?>", "/r", nullptr, nullptr},
        {"<r><s/></r>", "/r/s", "\xEF\xBF\xBE", "/r", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.message) + " " + c.path);
        quarn::Document doc = quarn::Document::fromBytes(c.message);
        doc.set(c.path, c.value);
        const std::optional<quarn::Node> shown = doc.first(c.shown);
        ASSERT_TRUE(shown.has_value());
        if (c.check == nullptr) {
            EXPECT_THROW(doc.write(quarn::ccsid::utf8), KelException);
            EXPECT_THROW(shown->xml(), KelException);
            continue;
        }
        const std::string xml = shown->xml();
        const std::string written = doc.write(quarn::ccsid::utf8);
        EXPECT_NE(written.find(xml), std::string::npos) << xml << " in " << written;
        EXPECT_EQ(libxml2Value(xml, c.check), c.expected) << xml;
    }
}

TEST(QuarnDocument, SetAndRemoveChangeOnlyWhatTheySelect) {
    quarn::Document doc = quarn::Document::fromBytes(kOrder);
    EXPECT_EQ(doc.set("//item/@qty", "7"), 2u);
    EXPECT_EQ(doc.set("//item[@sku='B']/@colour", "red"), 1u);   // added where missing
    EXPECT_EQ(doc.remove("/order/item[1]"), 1u);
    EXPECT_EQ(doc.remove("//absent"), 0u);
    EXPECT_THROW(doc.set("//absent", "x"), std::out_of_range);
    EXPECT_THROW(doc.set("/", "x"), std::invalid_argument);
    EXPECT_THROW(doc.remove("/"), std::invalid_argument);
    EXPECT_THROW(doc.set("count(//item)", "x"), std::invalid_argument);
    // A value that is not UTF-8 is refused, not stored with U+FFFD in its place.
    EXPECT_THROW(doc.set("//item/@qty", "caf\xE9"), std::invalid_argument);
    EXPECT_THROW(doc.first("//item")->setValue("\xF4\x90\x80\x80"), std::invalid_argument);

    const std::string out = doc.write();
    // The prolog, the comment and the untouched note are their own bytes.
    EXPECT_EQ(out.rfind("<?xml version='1.0'?>\n<!-- kept -->\n", 0), 0u) << out;
    EXPECT_NE(out.find("<note   >  spaced   </note   >"), std::string::npos) << out;
    EXPECT_EQ(out.find("Blue"), std::string::npos) << out;
    EXPECT_EQ(libxml2Value(out, "count(/order/item)"), "1");
    EXPECT_EQ(libxml2Value(out, "/order/item/@qty"), "7");
    EXPECT_EQ(libxml2Value(out, "/order/item/@colour"), "red");

    // A node found earlier sets and deletes itself.
    quarn::Document again = quarn::Document::fromBytes(kOrder);
    std::vector<quarn::Node> items = again.select("//item");
    items[0].setValue("only text");
    items[1].remove();
    const std::string written = again.write();
    EXPECT_EQ(libxml2Value(written, "/order/item"), "only text");
    EXPECT_EQ(libxml2Value(written, "count(//item)"), "1");

    // A text node is its whole run of adjacent text: removing it takes its CDATA sections and
    // the text of entity references with it, as setting it replaces them all; what select showed
    // as one node never leaves a part behind.
    const struct {
        const char* document;
        const char* path;
        std::size_t removed;
        const char* text;   // string(/a/b) after, as libxml2 reads the written message
    } runs[] = {
        {"<a><b>x<![CDATA[<y>]]></b></a>", "a/b/text()", 1, ""},
        {"<a><b>u<![CDATA[w]]>v<c/>z</b></a>", "a/b/text()[1]", 1, "z"},
        {"<!DOCTYPE a [<!ENTITY e 'E'>]><a><b>u&e;v<![CDATA[w]]><c/>z</b></a>", "a/b/text()[1]", 1, "z"},
        {"<a><b><![CDATA[w]]>v<c/>z<![CDATA[q]]></b></a>", "//text()", 2, ""},
    };
    for (const auto& r : runs) {
        SCOPED_TRACE(r.document + std::string(" ") + r.path);
        for (bool byNode : {false, true}) {
            quarn::Document d = quarn::Document::fromBytes(r.document);
            if (byNode) {
                for (quarn::Node n : d.select(r.path)) n.remove();
            } else {
                EXPECT_EQ(d.remove(r.path), r.removed);
            }
            EXPECT_EQ(libxml2Value(d.write(), "string(/a/b)"), r.text) << (byNode ? "Node::remove" : "Document::remove");
        }
    }
}

// Setting an element's value replaces its whole content, nested elements included, through the
// document and through a node alike; attributes stay.
TEST(QuarnDocument, SettingAnElementReplacesItsContent) {
    const std::string document = "<a><b k='1'>u<c>t</c>v</b><d>w<e/></d></a>";
    quarn::Document doc = quarn::Document::fromBytes(document);
    EXPECT_EQ(doc.set("/a/b", "x"), 1u);
    doc.first("/a/d")->setValue("y");
    const std::string out = doc.write();
    EXPECT_EQ(libxml2Value(out, "count(//c) + count(//e)"), "0") << out;
    EXPECT_EQ(libxml2Value(out, "/a/b"), "x") << out;
    EXPECT_EQ(libxml2Value(out, "/a/b/@k"), "1") << out;
    EXPECT_EQ(libxml2Value(out, "/a/d"), "y") << out;
}

TEST(QuarnDocument, WritesInAnyPageAndHandsAnUnchangedMessageBackWhole) {
    quarn::Document doc = quarn::Document::fromBytes(kOrder);
    EXPECT_EQ(doc.write(), kOrder);
    const std::string be = doc.write(quarn::ccsid::utf16, quarn::encoding::bigEndian);
    EXPECT_EQ(be.substr(0, 4), std::string("\xFE\xFF\0<", 4));
    const std::string le = doc.write(quarn::ccsid::utf16, quarn::encoding::littleEndian);
    EXPECT_EQ(le.substr(0, 4), std::string("\xFF\xFE<\0", 4));
    for (const std::string* bytes : {&be, &le}) {
        EXPECT_EQ(libxml2Value(*bytes, "/order/item[1]"), "Blue & green");
        EXPECT_EQ(quarn::Document::fromBytes(*bytes).get("//item[2]/@sku"), "B");
    }
    const std::string ebcdic = doc.write(quarn::ccsid::ebcdicUs);
    EXPECT_EQ(quarn::Document::fromBytes(ebcdic, quarn::ccsid::ebcdicUs).get("/order/note"), "  spaced   ");

    // A refused change is no change: a message padded with NUL bytes after its end, as a broker's
    // fixed-length buffer holds it, is still handed back whole, padding and all, where written
    // from its tree it would end at its end tag.
    const std::string padded = std::string("<r><a>1</a></r>") + std::string(3, '\0');
    const std::function<void(quarn::Document&)> refused[] = {
        [](quarn::Document& d) { d.set("//absent", "x"); },
        [](quarn::Document& d) { d.set("//a", "caf\xE9"); },
        [](quarn::Document& d) { d.set("/", "x"); },
        [](quarn::Document& d) { d.set("//a/@xmlns:p", "u"); },
        [](quarn::Document& d) { d.first("//a")->setValue("\xF4\x90\x80\x80"); },
    };
    for (const auto& refuse : refused) {
        quarn::Document d = quarn::Document::fromBytes(padded);
        EXPECT_ANY_THROW(refuse(d));
        EXPECT_EQ(d.write(), padded);
    }

    // A change through the host interface underneath is not lost: the tree is written.
    quarn::Document host = quarn::Document::fromBytes(kOrder);
    host.root()->firstChild();
    host.first("/order/@id")->element()->setValue(KelStringBase(u"PO-9"));
    EXPECT_EQ(libxml2Value(host.write(), "/order/@id"), "PO-9");
}

TEST(QuarnDocument, FilesAreReadAndReplacedWhole) {
    const std::string path = ::testing::TempDir() + "quarn-document-" + std::to_string(::getpid()) + ".xml";
    { std::ofstream(path, std::ios::binary) << kOrder; }
    quarn::Document doc = quarn::Document::open(path);
    doc.set("/order/@id", "PO-3");
    doc.save(path, quarn::ccsid::utf16, quarn::encoding::bigEndian);
    std::stringstream saved;
    saved << std::ifstream(path, std::ios::binary).rdbuf();
    EXPECT_EQ(libxml2Value(saved.str(), "/order/@id"), "PO-3");
    EXPECT_EQ(quarn::Document::open(path).get("/order/@id"), "PO-3");
    std::remove(path.c_str());

    EXPECT_THROW(quarn::Document::open(path), std::runtime_error);
    const std::string nowhere = ::testing::TempDir() + "no-such-folder-" + std::to_string(::getpid()) + "/x.xml";
    EXPECT_THROW(doc.save(nowhere), std::runtime_error);
}

// A file that shrinks while it is read is the file's fault, not the message's: whatever reads on
// into the lost bytes (a path, a node, the write) raises std::runtime_error saying so.
TEST(QuarnDocument, AFileThatShrinksWhileReadIsReportedAsSuch) {
    const std::string path = ::testing::TempDir() + "quarn-shrink-" + std::to_string(::getpid()) + ".xml";
    std::string items;
    for (int i = 0; i < 20000; ++i) items += "<i n='" + std::to_string(i) + "'/>";
    const std::vector<std::pair<const char*, std::function<void(quarn::Document&)>>> reads = {
        {"get", [](quarn::Document& d) { d.get("count(//i)"); }},
        {"select", [](quarn::Document& d) { d.select("//i"); }},
        {"first", [](quarn::Document& d) { d.first("/r/i[20000]"); }},
        {"set", [](quarn::Document& d) { d.set("//i/@n", "0"); }},
        {"remove", [](quarn::Document& d) { d.remove("//i[@n='19999']"); }},
        {"node", [](quarn::Document& d) { d.first("/r")->xml(); }},
        {"write", [](quarn::Document& d) { d.write(); }},
    };
    for (const auto& [what, read] : reads) {
        { std::ofstream(path, std::ios::binary) << "<r>" << items << "</r>"; }
        quarn::Document doc = quarn::Document::open(path);
        EXPECT_EQ(doc.get("/r/i[1]/@n"), "0");
        ASSERT_EQ(::truncate(path.c_str(), 4096), 0);
        try {
            read(doc);
            ADD_FAILURE() << what << ": no error";
        } catch (const KelException& e) {
            ADD_FAILURE() << what << ": reported as a fault of the message: " << e.what();
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("changed while it was read"), std::string::npos) << what << e.what();
        }
    }
    std::remove(path.c_str());
}

// Saving goes where the command's -o goes: through a link to the file it names, into a pipe or a
// device as it is (never replacing it with a file); opening a pipe is refused without waiting for
// a writer.
TEST(QuarnDocument, SavesIntoWhatThePathNamesAndOpensNoPipe) {
    const std::string base = ::testing::TempDir() + "quarn-save-" + std::to_string(::getpid());
    const std::string target = base + "-target.xml", link = base + "-link.xml", fifo = base + "-fifo";
    { std::ofstream(target, std::ios::binary) << "<old/>"; }
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    quarn::Document::fromBytes("<new/>").save(link);
    struct stat st {};
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link is kept";
    std::stringstream saved;
    saved << std::ifstream(target, std::ios::binary).rdbuf();
    EXPECT_EQ(saved.str(), "<new/>");

    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    quarn::Document::fromBytes("<piped/>").save(fifo);
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the pipe is kept";
    char got[32] = {};
    EXPECT_EQ(::read(reader, got, sizeof got), 8);
    EXPECT_STREQ(got, "<piped/>");
    ::close(reader);
    try {
        quarn::Document::open(fifo);
        ADD_FAILURE() << "a pipe was opened";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("not a regular file"), std::string::npos) << e.what();
    }
    for (const std::string& p : {target, link, fifo}) std::remove(p.c_str());
}

TEST(QuarnDocument, RecordsAreWalkedOnceAndDeletedBehindTheWalk) {
    quarn::Document doc = quarn::Document::fromBytes(kOrder);
    std::vector<std::string> seen;
    quarn::Records records = doc.records("order/item");
    for (quarn::Node item : records) {
        seen.push_back(item.first("@sku")->value() + "=" + item.value());
        EXPECT_EQ(item.parent()->name(), "order");
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"A=Blue & green", "B=Gear"}));
    EXPECT_EQ(records.count(), 2u);
    EXPECT_THROW(records.begin(), std::logic_error);
    // What the walk passed is gone; the parent keeps its own attributes.
    const std::string after = doc.write();
    EXPECT_EQ(libxml2Value(after, "count(//item)"), "0");
    EXPECT_EQ(libxml2Value(after, "/order/@id"), "PO-1");

    // A long message in the same few slots.
    std::string big = "<feed>";
    for (int i = 0; i < 3000; ++i) big += "<rec n='" + std::to_string(i) + "'><v>x</v></rec>\n";
    quarn::Document feed = quarn::Document::fromBytes(big + "</feed>");
    long sum = 0;
    for (quarn::Node rec : feed.records("/feed/*")) sum += std::stol(rec.first("@n")->value());
    EXPECT_EQ(sum, 2999L * 3000 / 2);
    EXPECT_LT(feed.parser().elementPool().slotsCarved(), 64u);

    // A parent that is not there: no records.
    EXPECT_EQ(quarn::Document::fromBytes(kOrder).records("order/none/item").begin(),
              quarn::Records::iterator(quarn::Document::fromBytes(kOrder).records("x/y").end()));
}

// A host that drops a record it rejects, or routes it into another message, takes it out of the
// parent: the walk went on from it to its next sibling, which it no longer has, and ended there
// without a word (the records after it never seen), deleting a record moved into another tree
// out of that tree.
TEST(QuarnDocument, ARecordTheHostTakesOutDoesNotEndTheWalk) {
    const std::string feed = "<feed v='1'><rec n='1'/> <rec n='2'><v>b</v></rec><rec n='3'/>\n<rec n='4'/></feed>";
    struct Case {
        const char* what;
        std::function<void(quarn::Document&, quarn::Node&, quarn::Document&)> takeOut;
        const char* kept;   // records in the other message afterwards
    };
    const Case cases[] = {
        {"the record removed", [](quarn::Document&, quarn::Node& rec, quarn::Document&) { rec.remove(); }, "0"},
        {"the record removed by a path",
         [](quarn::Document& doc, quarn::Node&, quarn::Document&) { doc.remove("/feed/rec[@n='2']"); }, "0"},
        {"the record moved into another message",
         [](quarn::Document&, quarn::Node& rec, quarn::Document& other) {
             other.root()->firstChild()->attachAsLastChild(rec.element());
         },
         "1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        quarn::Document doc = quarn::Document::fromBytes(feed);
        quarn::Document other = quarn::Document::fromBytes("<kept/>");
        std::string seen;
        quarn::Records records = doc.records("feed/rec");
        for (quarn::Node rec : records) {
            seen += rec.first("@n")->value();
            if (seen == "12") c.takeOut(doc, rec, other);
        }
        EXPECT_EQ(seen, "1234");
        EXPECT_EQ(records.count(), 4u);
        const std::string after = doc.write();
        EXPECT_EQ(libxml2Value(after, "count(//rec)"), "0") << after;
        EXPECT_EQ(libxml2Value(after, "/feed/@v"), "1") << after;
        // What the host moved stays where it put it.
        const std::string kept = other.write();
        EXPECT_EQ(libxml2Value(kept, "count(/kept/rec)"), c.kept) << kept;
        if (std::string(c.kept) == "1") {
            EXPECT_EQ(libxml2Value(kept, "/kept/rec[@n='2']/v"), "b") << kept;
        }
    }
}

// Each walk deletes what it passes: a walk begun while another went on (another records(), or a
// copy of the same walk) deleted the record the first stood on, and its next step read freed slots.
TEST(QuarnDocument, AWalkBegunAfterAnotherStopsTheOther) {
    const std::string feed = "<feed><rec n='1'/><rec n='2'/><rec n='3'/></feed>";
    quarn::Document doc = quarn::Document::fromBytes(feed);
    quarn::Records first = doc.records("feed/rec");
    quarn::Records::iterator step = first.begin();
    EXPECT_EQ((*step).first("@n")->value(), "1");
    std::string seen;
    for (quarn::Node rec : doc.records("feed/*")) seen += rec.first("@n")->value();
    EXPECT_EQ(seen, "123");
    EXPECT_THROW(++step, std::logic_error);
    EXPECT_EQ(libxml2Value(doc.write(), "count(//rec)"), "0");

    quarn::Document again = quarn::Document::fromBytes(feed);
    quarn::Records original = again.records("feed/rec");
    quarn::Records copy = original;
    quarn::Records::iterator a = original.begin();
    seen.clear();
    for (quarn::Node rec : copy) seen += rec.first("@n")->value();
    EXPECT_EQ(seen, "123");
    EXPECT_THROW(++a, std::logic_error);
}

TEST(QuarnDocument, ARecordWalkRefusesABrokenMessageBeforeTheFirstRecordAndOtherPaths) {
    quarn::Document broken = quarn::Document::fromBytes("<feed><rec/><rec/><rec></feed>");
    int records = 0;
    auto walk = [&] {
        for (quarn::Node rec : broken.records("feed/rec")) records += rec.name() == "rec" ? 1 : 0;
    };
    EXPECT_THROW(walk(), KelException);
    EXPECT_EQ(records, 0);
    // What the path language refuses, or what is no path, is refused, never walked as a record
    // name that nothing matches.
    for (const char* path : {"order/item[1]", "order//item", "/", "order/@id", "order/", "order/text()", "$v",
                             "order/$v", "order/child::item", "1", "order/item + 1", "order/.", "order/..", "order/p:*",
                             "order/:item", "order/p:"}) {
        SCOPED_TRACE(path);
        EXPECT_THROW(quarn::Document::fromBytes(kOrder).records(path), std::invalid_argument);
    }
    // A name holding '.' or '-' is a name.
    quarn::Document dotted = quarn::Document::fromBytes("<r><line.item n='1'/><line-item n='2'/><line.item n='3'/></r>");
    std::string ns;
    for (quarn::Node rec : dotted.records("r/line.item")) ns += rec.first("@n")->value();
    EXPECT_EQ(ns, "13");
    // A record name with a prefix is matched as written, as quarn split matches it (it was refused).
    quarn::Document prefixed = quarn::Document::fromBytes("<r xmlns:p='urn:p'><p:it n='1'/><it n='2'/><p:it n='3'/></r>");
    ns.clear();
    for (quarn::Node rec : prefixed.records("r/p:it")) ns += rec.first("@n")->value();
    EXPECT_EQ(ns, "13");
}

TEST(QuarnDocument, NodesKnowTheirParentChildrenAndSelectFromThemselves) {
    quarn::Document doc = quarn::Document::fromBytes(kOrder);
    const quarn::Node second = *doc.first("/order/item[2]");
    EXPECT_EQ(second.select("@qty").at(0).value(), "2");
    EXPECT_EQ(second.first("../note")->value(), "  spaced   ");
    const quarn::Node order = *second.parent();
    EXPECT_EQ(order.kind(), quarn::Node::Kind::Element);
    EXPECT_EQ(order.parent()->kind(), quarn::Node::Kind::Document);
    EXPECT_FALSE(order.parent()->parent().has_value());
    std::vector<std::string> kinds;
    for (const quarn::Node& child : order.children())
        kinds.push_back(child.kind() == quarn::Node::Kind::Element ? child.name() : "text");
    EXPECT_EQ(kinds, (std::vector<std::string>{"text", "item", "text", "item", "text", "note", "text"}));
    EXPECT_THROW(second.first("@qty")->select("."), std::logic_error);
    EXPECT_THROW(second.select("item["), std::invalid_argument);
}

TEST(QuarnDocument, LimitsSetBeforeReadingHold) {
    const std::string deep = "<a><b><c><d x='1'/></c></b></a>";
    XmlBuilderLimits shallow;
    shallow.nestingDepth = 2;
    quarn::Document bounded = quarn::Document::fromBytes(deep);
    bounded.setLimits(shallow);
    EXPECT_THROW(bounded.get("//d/@x"), KelException);
    quarn::Document plain = quarn::Document::fromBytes(deep);
    EXPECT_EQ(plain.get("//d/@x"), "1");
}

// An empty message is no document, from bytes or from a file: reading it by any path, counting
// in it, or writing it (handed back whole or in another page) fails with the parser's error (no
// body), as the quarn command refuses an empty file; nothing is written in its place.
TEST(QuarnDocument, AnEmptyMessageIsNoDocument) {
    const std::string path = ::testing::TempDir() + "quarn-document-empty-" + std::to_string(::getpid()) + ".xml";
    { std::ofstream(path, std::ios::binary) << ""; }
    const auto noBody = [](const KelException& e) {
        return std::string(e.what()).find("No valid body of the document could be found.") != std::string::npos;
    };
    for (int from = 0; from < 2; ++from) {
        SCOPED_TRACE(from == 0 ? "from bytes" : "from a file");
        quarn::Document doc = from == 0 ? quarn::Document::fromBytes("") : quarn::Document::open(path);
        const std::vector<std::function<void()>> uses{
            [&] { doc.get("count(//*)"); }, [&] { doc.get("/order"); },    [&] { doc.select("//*"); },
            [&] { doc.first("/*"); },       [&] { doc.write(); },           [&] { doc.write(quarn::ccsid::utf16); },
            [&] { doc.remove("//item"); },
        };
        for (std::size_t i = 0; i < uses.size(); ++i) {
            try {
                uses[i]();
                ADD_FAILURE() << "use " << i << " of an empty message succeeded";
            } catch (const KelException& e) {
                EXPECT_TRUE(noBody(e)) << "use " << i << ": " << e.what();
            }
        }
    }
    const std::string saved = path + ".saved";
    EXPECT_THROW(quarn::Document::fromBytes("").save(saved), KelException);
    EXPECT_FALSE(std::ifstream(saved).good()) << "nothing is written for it";
    std::remove(path.c_str());
}

// A document that was moved from raises a clear error from every member instead of crashing,
// and works again once another document is moved into it; nodes keep working after their
// document moves.
TEST(QuarnDocument, AMovedFromDocumentRaisesAnError) {
    quarn::Document from = quarn::Document::fromBytes("<a><b>t</b></a>");
    quarn::Node b = *from.first("/a/b");
    quarn::Document to = std::move(from);
    EXPECT_EQ(b.value(), "t");
    const std::string file = ::testing::TempDir() + "quarn-moved-from.xml";
    const std::vector<std::pair<const char*, std::function<void()>>> members = {
        {"ccsid", [&] { (void)from.ccsid(); }},
        {"encoding", [&] { (void)from.encoding(); }},
        {"select", [&] { (void)from.select("/a"); }},
        {"first", [&] { (void)from.first("/a"); }},
        {"get", [&] { (void)from.get("/a"); }},
        {"set", [&] { (void)from.set("/a/b", "x"); }},
        {"remove", [&] { (void)from.remove("/a/b"); }},
        {"write", [&] { (void)from.write(); }},
        {"save", [&] { from.save(file); }},
        {"setLimits", [&] { from.setLimits(XmlBuilderLimits()); }},
        {"parser", [&] { (void)from.parser(); }},
        {"root", [&] { (void)from.root(); }},
    };
    for (const auto& m : members) {
        try {
            m.second();
            ADD_FAILURE() << m.first << " went through";
        } catch (const std::logic_error& e) {
            EXPECT_NE(std::string(e.what()).find("moved"), std::string::npos) << m.first << ": " << e.what();
        }
    }
    EXPECT_NE(std::ifstream(file).good(), true);
    b.setValue("u");
    EXPECT_EQ(libxml2Value(to.write(), "/a/b"), "u");
    from = quarn::Document::fromBytes("<c/>");
    EXPECT_EQ(from.get("count(/c)"), "1");
}

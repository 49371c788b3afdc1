// quarn split and the record-loop example, end to end: every record becomes a document of its
// own with its input bytes, converted and declared when another page is asked for (and read back
// by libxml2); a broken message leaves no file unless the check is turned off; the record loop
// walks a long message in the same few pool slots.
#include "tests/tools/QuarnRun.hpp"

#include "tests/support/LibxmlCanonicalReader.hpp"

#include <gtest/gtest.h>
#include <libxml/c14n.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {
using namespace quarntest;


bool libxml2Reads(const std::string& bytes) {
    xmlDocPtr doc = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (doc == nullptr) return false;
    xmlFreeDoc(doc);
    return true;
}

std::string records(int count) {
    std::string doc = "<?xml version='1.0'?>\n<feed><head id='h'/>";
    for (int i = 1; i <= count; ++i)
        doc += "\n <rec n=\"" + std::to_string(i) + "\" note='caf\xC3\xA9'><v>" + std::to_string(i) + "</v><!-- c --></rec>";
    return doc + "\n <tail/>\n</feed>\n";
}

std::string recordText(int n) {
    return "<rec n=\"" + std::to_string(n) + "\" note='caf\xC3\xA9'><v>" + std::to_string(n) + "</v><!-- c --></rec>";
}

TEST(QuarnSplit, EveryRecordBecomesADocumentOfItsOwnWithItsOwnBytes) {
    const std::string in = tempPath("split-in.xml"), out = tempPath("split-out");
    spit(in, records(40));
    shell("rm -rf " + quote(out));
    Result r = quarn("split " + quote(in) + " feed/rec " + quote(out));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "split: 40 documents written to " + out + "\n");
    const std::set<std::string> names = filesIn(out);
    ASSERT_EQ(names.size(), 40u);
    EXPECT_EQ(*names.begin(), "rec-000001.xml");
    EXPECT_EQ(*names.rbegin(), "rec-000040.xml");
    for (int n : {1, 2, 20, 40}) {
        char name[32];
        std::snprintf(name, sizeof name, "/rec-%06d.xml", n);
        const std::string bytes = slurp(out + name);
        EXPECT_EQ(bytes, recordText(n));
        EXPECT_TRUE(libxml2Reads(bytes)) << bytes;
    }

    // Into EBCDIC: converted, with a declaration that names the page; into UTF-16: a mark.
    Result ebcdic = quarn("split " + quote(in) + " feed/rec " + quote(out + "37") + " --out-ccsid 37");
    ASSERT_EQ(ebcdic.status, 0) << ebcdic.err;
    const std::string first37 = slurp(out + "37/rec-000001.xml");
    EXPECT_TRUE(libxml2Reads(first37));
    EXPECT_EQ(quarn("tree - --ccsid 37", first37).status, 0);
    Result utf16 = quarn("split " + quote(in) + " feed/rec " + quote(out + "16") + " --out-ccsid 1200");
    ASSERT_EQ(utf16.status, 0) << utf16.err;
    const std::string first16 = slurp(out + "16/rec-000001.xml");
    EXPECT_EQ(first16.substr(0, 2), "\xFF\xFE");
    EXPECT_TRUE(libxml2Reads(first16));
    EXPECT_EQ(quarn("write - --ccsid 1200 --out-ccsid 1208", first16).out, recordText(1));
    shell("rm -rf " + quote(out) + " " + quote(out + "37") + " " + quote(out + "16"));
}

TEST(QuarnSplit, ABrokenMessageLeavesNoFilesUnlessTheCheckIsOff) {
    const std::string in = tempPath("split-broken.xml"), out = tempPath("split-broken-out");
    std::string broken = records(50);
    broken.replace(broken.find("<v>40</v>"), 9, "<v>40</w>");
    spit(in, broken);
    shell("rm -rf " + quote(out));
    Result checked = quarn("split " + quote(in) + " feed/rec " + quote(out));
    EXPECT_EQ(checked.status, 1);
    EXPECT_NE(checked.err.find("expected end of tag 'v'"), std::string::npos) << checked.err;
    EXPECT_TRUE(filesIn(out).empty());
    Result trusted = quarn("split " + quote(in) + " feed/rec " + quote(out) + " --no-check");
    EXPECT_EQ(trusted.status, 1);
    EXPECT_EQ(filesIn(out).size(), 39u) << "the records before the fault";
    spit(in, records(3));
    EXPECT_EQ(quarn("split " + quote(in) + " feed/@x " + quote(out)).status, 2);
    EXPECT_EQ(quarn("split " + quote(in) + " nothing/rec " + quote(out)).status, 2);
    shell("rm -rf " + quote(out));
}

// The elements a path of plain names selects in a document libxml2 read, by their names as written.
void selectByNames(xmlNodePtr node, const std::vector<std::string>& steps, std::size_t depth, std::vector<xmlNodePtr>& found) {
    for (xmlNodePtr c = node->children; c != nullptr; c = c->next) {
        if (c->type != XML_ELEMENT_NODE) continue;
        std::string name = c->ns && c->ns->prefix ? std::string(reinterpret_cast<const char*>(c->ns->prefix)) + ":" : "";
        name += reinterpret_cast<const char*>(c->name);
        if (name != steps[depth]) continue;
        if (depth + 1 == steps.size())
            found.push_back(c);
        else
            selectByNames(c, steps, depth + 1, found);
    }
}

bool within(xmlNodePtr node, xmlNodePtr apex) {
    for (; node != nullptr; node = node->parent)
        if (node == apex) return true;
    return false;
}

extern "C" int visibleBelow(void* apex, xmlNodePtr node, xmlNodePtr parent) {
    if (node != nullptr && node->type == XML_NAMESPACE_DECL) return within(parent, static_cast<xmlNodePtr>(apex));
    return within(node, static_cast<xmlNodePtr>(apex));
}

// libxml2's canonical form (C14N 1.0 with comments, entities replaced, defaults applied) of each
// element a path of plain names selects in `document`, as it stands in place there.
std::vector<std::string> canonicalInPlace(const std::string& document, const std::string& path) {
    std::vector<std::string> steps;
    for (std::size_t from = 0;;) {
        const std::size_t slash = path.find('/', from);
        steps.push_back(path.substr(from, slash == std::string::npos ? std::string::npos : slash - from));
        if (slash == std::string::npos) break;
        from = slash + 1;
    }
    std::vector<std::string> forms;
    xmlDocPtr doc = xmlReadMemory(document.data(), static_cast<int>(document.size()), nullptr, nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOENT | XML_PARSE_DTDATTR | XML_PARSE_NOERROR);
    if (doc == nullptr) return forms;
    std::vector<xmlNodePtr> found;
    selectByNames(reinterpret_cast<xmlNodePtr>(doc), steps, 0, found);
    for (xmlNodePtr element : found) {
        xmlOutputBufferPtr buffer = xmlAllocOutputBuffer(nullptr);
        xmlC14NExecute(doc, visibleBelow, element, XML_C14N_1_0, nullptr, 1, buffer);
        forms.emplace_back(reinterpret_cast<const char*>(xmlOutputBufferGetContent(buffer)),
                           xmlOutputBufferGetSize(buffer));
        xmlOutputBufferClose(buffer);
    }
    xmlFreeDoc(doc);
    return forms;
}

std::string recordFile(const std::string& folder, const std::string& name, std::size_t n) {
    char file[64];
    std::snprintf(file, sizeof file, "/%s-%06zu.xml", name.c_str(), n);
    return folder + file;
}

// Every record the path selects is written, under every parent, and each is a document of its
// own whose canonical form is the one the element has in place: namespaces in scope declared on
// it, internal entities expanded, defaulted attributes written.
TEST(QuarnSplit, EveryRecordOfEveryParentStandsAloneAsItReadInPlace) {
    struct Case {
        const char* what;
        std::string document;
        std::string path;
        std::size_t records;
    };
    const std::vector<Case> cases = {
        {"records under two parents", "<batch><order><line>1</line><line>2</line></order><x/>"
                                      "<order><line>3</line><line>4</line></order></batch>",
         "batch/order/line", 4},
        {"parents under two grandparents", "<f><b><o><l>1</l></o></b><b><o><l>2</l><l>3</l></o><o/><o><l>4</l></o></b></f>",
         "f/b/o/l", 4},
        {"an internal entity", "<!DOCTYPE r [<!ENTITY e \"xy\">]><r><i>&e;</i></r>", "r/i", 1},
        {"entities with markup and in attributes",
         "<!DOCTYPE r [<!ENTITY e \"x<b>y</b>\"><!ENTITY f \"q&amp;\">]><r><i a=\"&f;\">1&e;2</i><i>&f;</i></r>", "r/i", 2},
        {"namespaces declared above", "<r xmlns:p=\"urn:p\" xmlns=\"urn:d\"><i p:a=\"1\"><p:k/></i></r>", "r/i", 1},
        {"a prefix declared anew nearer", "<r xmlns:p=\"urn:p\"><g xmlns:p=\"urn:q\" xmlns=\"urn:d\"><i xmlns=\"\"><p:k/></i></g></r>",
         "r/g/i", 1},
        {"a defaulted attribute", "<!DOCTYPE r [<!ATTLIST i d CDATA \"dv\"><!ATTLIST k e CDATA 'ev'>]><r><i>t<k/></i><i d='own'/></r>",
         "r/i", 2},
        // A value the document type normalises reads otherwise without it: spaces, tabs and
        // character references to spaces are dropped at the ends and run together inside.
        {"attribute values the document type normalises",
         "<!DOCTYPE r [<!ATTLIST i a NMTOKENS #IMPLIED b ID #IMPLIED c (x|y) #IMPLIED d CDATA #IMPLIED>"
         "<!ATTLIST k a NMTOKEN #IMPLIED>]>"
         "<r><i a=\" 1  \t2 \t\" d=' kept  as is '/><i a=\"&#32;x&#32;&#32;y&#32;\" b=' id1 '><k a=' t '/></i>"
         "<i c=' y ' d=' d '>t</i><i a='z'/></r>",
         "r/i", 4},
        // A record named with a prefix: its file takes the name with '_' for the colon.
        {"records named with a prefix", "<r xmlns:p=\"urn:p\"><p:it>1</p:it><it>no</it><p:it p:a='2'><p:k/></p:it></r>",
         "r/p:it", 2},
        {"prefixed records under a prefixed parent, a default namespace too",
         "<r xmlns:p=\"urn:p\" xmlns=\"urn:d\"><p:g><p:it>1</p:it><q:it xmlns:q='urn:q'/><p:it xmlns:p='urn:n'>2</p:it></p:g></r>",
         "r/p:g/p:it", 2},
        {"prefixed records under every parent", "<f xmlns:p='urn:p'><b><p:o>1</p:o></b><b xmlns:p='urn:b'><p:o>2</p:o></b></f>",
         "f/b/p:o", 2},
        {"the language and white space in scope",
         "<r xml:lang='fr' xml:space='preserve'><g xml:lang='de'><i>t <b> </b></i><i xml:lang='en'/></g></r>", "r/g/i", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string in = tempPath("split-alone.xml"), out = tempPath("split-alone-out");
        spit(in, c.document);
        shell("rm -rf " + quote(out));
        Result r = quarn("split " + quote(in) + " " + c.path + " " + quote(out));
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<std::string> expected = canonicalInPlace(c.document, c.path);
        ASSERT_EQ(expected.size(), c.records);
        EXPECT_EQ(filesIn(out).size(), c.records);
        std::string name = c.path.substr(c.path.rfind('/') + 1);
        if (name.find(':') != std::string::npos) name[name.find(':')] = '_';
        for (std::size_t n = 1; n <= c.records; ++n) {
            const std::string bytes = slurp(recordFile(out, name, n));
            const LibxmlReading read = LibxmlCanonicalReader::read(bytes);
            ASSERT_TRUE(read.ok) << bytes << "\n" << read.error;
            EXPECT_EQ(read.canonical, expected[n - 1]) << bytes;
            EXPECT_EQ(quarn("check -", bytes).status, 0) << bytes;
        }
        shell("rm -rf " + quote(out));
    }
}

// The declaration of a record in a page other than UTF-8 or UTF-16 (the input's, or --out-ccsid)
// names the page as `quarn write` names it, a name libxml2 and quarn itself read back.
TEST(QuarnSplit, ARecordInAnotherPageNamesItAsWriteDoes) {
    struct Case {
        const char* what;
        std::string document;
        std::string options;   // --out-ccsid N, or none: the input's page
        std::string page;      // the page `quarn write --out-ccsid` is asked to name
    };
    const std::vector<Case> cases = {
        {"a Latin-1 input", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r><i>caf\xE9</i></r>", "", "819"},
        {"into Latin-1", "<r><i>caf\xC3\xA9</i></r>", " --out-ccsid 819", "819"},
        {"into Latin-2", "<r><i>\xC5\xBE\xC3\xA9</i></r>", " --out-ccsid 912", "912"},
        {"into Cyrillic", "<r><i>\xD0\xB4\xD0\xB0</i></r>", " --out-ccsid 915", "915"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string in = tempPath("split-page.xml"), out = tempPath("split-page-out");
        spit(in, c.document);
        shell("rm -rf " + quote(out));
        Result r = quarn("split " + quote(in) + " r/i " + quote(out) + c.options);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string bytes = slurp(out + "/i-000001.xml");
        // The declaration `write` gives the same page, in that page's bytes.
        const Result declared = quarn("write - --out-ccsid " + c.page, "<i/>");
        ASSERT_EQ(declared.status, 0) << declared.err;
        const std::string declaration = declared.out.substr(0, declared.out.find("?>") + 2);
        EXPECT_EQ(bytes.substr(0, declaration.size()), declaration);
        const LibxmlReading read = LibxmlCanonicalReader::read(bytes);
        ASSERT_TRUE(read.ok) << read.error;
        const std::vector<std::string> expected = canonicalInPlace(c.document, "r/i");
        ASSERT_EQ(expected.size(), 1u);
        EXPECT_EQ(read.canonical, expected.front());
        EXPECT_EQ(quarn("check -", bytes).status, 0);
        shell("rm -rf " + quote(out));
    }
}

// A record of an XML 1.1 message went out without a declaration, so it was read as XML 1.0: a
// reference to a control character was refused (status 0 from split, a record no reader took)
// and a NEL or U+2028 line end read as a character. A record now says it is 1.1, in its own page.
// libxml2 reads no XML 1.1, so each record's values are held to the message's own, read whole.
TEST(QuarnSplit, ARecordOfAnXml11MessageIsXml11) {
    const std::string document = "<?xml version='1.1'?>\n<r><i a='&#x1;'>x&#x85;\xC2\x85y&#x7F;</i><i>p\xE2\x80\xA8q</i></r>";
    struct Case {
        const char* options;
        const char* declaration;   // the record's first bytes, as UTF-8
    };
    for (const Case& c : std::vector<Case>{{"", "<?xml version=\"1.1\"?><i"},
                                           {" --out-ccsid 819", "<?xml version=\"1.1\" encoding=\"ISO-8859-1\"?><i"},
                                           {" --out-ccsid 37", nullptr},
                                           {" --out-ccsid 1200", nullptr}}) {
        SCOPED_TRACE(c.options);
        const std::string in = tempPath("split-11.xml"), out = tempPath("split-11-out");
        spit(in, document);
        shell("rm -rf " + quote(out));
        const Result r = quarn("split " + quote(in) + " r/i " + quote(out) + c.options);
        ASSERT_EQ(r.status, 0) << r.err;
        for (int n = 1; n <= 2; ++n) {
            const std::string record = recordFile(out, "i", n);
            if (c.declaration != nullptr) {
                EXPECT_EQ(slurp(record).rfind(c.declaration, 0), 0u) << slurp(record);
            }
            const std::string at = "r/i[" + std::to_string(n) + "]";
            for (const std::string& path : {std::string("i"), std::string("i/@a")}) {
                const Result whole = quarn("get " + quote(in) + " " + at + path.substr(1));
                const Result alone = quarn("get " + quote(record) + " " + path);
                EXPECT_EQ(alone.status, whole.status) << path << ": " << alone.err;
                EXPECT_EQ(alone.out, whole.out) << path;
            }
        }
        shell("rm -rf " + quote(out));
    }
}

// What the split cannot carry or cannot stream is refused with status 2, never half done with 0.
TEST(QuarnSplit, WhatCannotBeCarriedOrStreamedIsRefused) {
    const std::string in = tempPath("split-refused.xml"), out = tempPath("split-refused-out");
    // A reference to an entity of the unread external subset, in text or in an attribute value.
    for (const char* record : {"<i>&outside;</i>", "<i a='x&outside;y'>t</i>", "<i><j b='&outside;'/></i>"}) {
        SCOPED_TRACE(record);
        spit(in, std::string("<!DOCTYPE r SYSTEM \"r.dtd\"><r><i a='&amp;'>1</i>") + record + "</r>");
        shell("rm -rf " + quote(out));
        Result external = quarn("split " + quote(in) + " r/i " + quote(out));
        EXPECT_EQ(external.status, 2);
        EXPECT_NE(external.err.find("record 2 ("), std::string::npos) << external.err;
        EXPECT_NE(external.err.find("not declared"), std::string::npos) << external.err;
    }
    spit(in, "<batch><order n='1'><line>1</line></order><order n='2'><line>2</line></order></batch>");
    shell("rm -rf " + quote(out));
    Result several = quarn("split " + quote(in) + " 'batch/order[@n]/line' " + quote(out));
    EXPECT_EQ(several.status, 2);
    EXPECT_NE(several.err.find("several elements"), std::string::npos) << several.err;
    EXPECT_TRUE(filesIn(out).empty());
    Result one = quarn("split " + quote(in) + " \"batch/order[@n='2']/line\" " + quote(out));
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(slurp(out + "/line-000001.xml"), "<line>2</line>");
    shell("rm -rf " + quote(out));

    // What the path language refuses, or what is no path at all, is refused as every other
    // entry point refuses it, never taken for a record name that nothing matches (status 0); a
    // name with '.' or '-' is a name.
    spit(in, "<r><a.b>1</a.b><a-b>2</a-b><a/></r>");
    const struct {
        const char* path;
        int status;
        const char* said;
    } paths[] = {
        {"'$v'", 2, "variables are not supported"},
        {"'r/$v/a'", 2, "expected a name"},
        {"'r/child::a'", 2, "axes other than the abbreviated ones"},
        {"1", 2, "needs a path whose last step names"},
        {"'r/a + 1'", 2, "needs a path whose last step names"},
        {"r/a.b", 0, "1 documents written"},
        {"r/a-b", 0, "1 documents written"},
        // A parent path of plain names that names nothing is a slip, as for any other path; a
        // parent without records is an empty feed.
        {"x/a", 2, "path names nothing: x"},
        {"r/x/a", 2, "path names nothing: r/x"},
        {"r/a/x", 0, "0 documents written"},
        {"r/nothing", 0, "0 documents written"},
    };
    for (const auto& p : paths) {
        SCOPED_TRACE(p.path);
        shell("rm -rf " + quote(out));
        Result r = quarn("split " + quote(in) + " " + p.path + " " + quote(out));
        EXPECT_EQ(r.status, p.status) << r.err;
        EXPECT_NE((r.err + r.out).find(p.said), std::string::npos) << r.err << r.out;
        if (p.status != 0) {
            EXPECT_TRUE(filesIn(out).empty());
        }
    }
    shell("rm -rf " + quote(out));
}

// The folder holds exactly what the run wrote: one holding files is refused unless --replace,
// which leaves only the new records; --json and --progress report the run.
TEST(QuarnSplit, TheFolderHoldsExactlyWhatTheRunWrote) {
    const std::string in = tempPath("split-again.xml"), out = tempPath("split-again-out");
    spit(in, records(3));
    shell("rm -rf " + quote(out));
    ASSERT_EQ(quarn("split " + quote(in) + " feed/rec " + quote(out)).status, 0);
    spit(in, records(1));
    Result again = quarn("split " + quote(in) + " feed/rec " + quote(out));
    EXPECT_EQ(again.status, 2);
    EXPECT_NE(again.err.find("--replace"), std::string::npos) << again.err;
    EXPECT_EQ(filesIn(out).size(), 3u) << "an earlier run's records are left alone";
    Result replaced = quarn("split " + quote(in) + " feed/rec " + quote(out) + " --replace --json --progress --sync-each");
    ASSERT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_EQ(filesIn(out), (std::set<std::string>{"rec-000001.xml"}));
    EXPECT_EQ(slurp(out + "/rec-000001.xml"), recordText(1));
    EXPECT_NE(replaced.out.find("\"records\":1,\"removed\":2,"), std::string::npos) << replaced.out;
    EXPECT_NE(replaced.err.find("split: 1 records"), std::string::npos) << replaced.err;
    shell("rm -rf " + quote(out));
}

// Every name in a folder (hidden ones too) with the bytes of each file.
std::map<std::string, std::string> contentsOf(const std::string& folder) {
    std::map<std::string, std::string> contents;
    for (const std::string& name : filesIn(folder)) contents[name] = slurp(folder + "/" + name);
    return contents;
}

// A run that replaces what a folder holds and fails (a record that cannot stand alone, a fault in
// an unchecked message, a write that fails, a record's name taken by a folder) leaves the earlier
// run's records as they were and nothing of its own, with its error; one that succeeds leaves
// exactly its own records, and never removes its input, not even from inside the folder.
TEST(QuarnSplit, AReplacingRunThatFailsLeavesTheEarlierRecordsAsTheyWere) {
    const std::string parent = tempPath("split-replace");
    const std::string out = parent + "/out";
    std::string unchecked = records(6);
    unchecked.replace(unchecked.find("<v>5</v>"), 8, "<v>5</w>");
    std::string large = records(5);
    large.replace(large.find("<v>3</v>"), 8, "<v>" + std::string(300000, '3') + "</v>");
    struct Case {
        const char* what;
        std::string document;
        std::string options;
        const char* input;      // where the input lies, below the parent folder
        bool folderInPlace;     // an earlier folder holds the name of record 2
        const char* link;       // a link in the folder to the input, or nullptr
        int status;
        const char* error;
    };
    const std::vector<Case> cases = {
        {"a record that cannot stand alone",
         "<!DOCTYPE feed SYSTEM 'f.dtd'><feed><rec>1</rec><rec>2</rec><rec>&x;</rec><rec>4</rec></feed>", "", "in.xml",
         false, nullptr, 2, "record 3 ("},
        {"the same, syncing each", "<!DOCTYPE feed SYSTEM 'f.dtd'><feed><rec>1</rec><rec>2</rec><rec>&x;</rec></feed>",
         " --sync-each", "in.xml", false, nullptr, 2, "record 3 ("},
        {"a fault in an unchecked message", unchecked, " --no-check", "in.xml", false, nullptr, 1,
         "expected end of tag 'v'"},
        {"a write that fails", large, "", "in.xml", false, nullptr, 5, "rec-000003.xml"},
        {"a record's name taken by a folder", records(3), "", "in.xml", true, nullptr, 5, "rec-000002.xml"},
        // The input under a name the run writes would be replaced by a record, and lost.
        {"the input under a record's name", records(3), "", "out/rec-000002.xml", false, nullptr, 2,
         "record 2 would be written over FILE"},
        {"the input under a record's name, syncing each", records(3), " --sync-each", "out/rec-000002.xml", false, nullptr, 2,
         "record 2 would be written over FILE"},
        {"a link at a record's name to the input", records(3), "", "in.xml", false, "rec-000001.xml", 2,
         "record 1 would be written over FILE"},
        {"success, the input inside the folder", records(2), "", "out/in.xml", false, nullptr, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        shell("rm -rf " + quote(parent) + " && mkdir -p " + quote(out));
        // The earlier run's records: more of them than the new run writes, with other bytes.
        const std::string earlier = parent + "/earlier.xml";
        spit(earlier, "<feed><rec>a</rec><rec>b</rec><rec>c</rec><rec>d</rec></feed>");
        ASSERT_EQ(quarn("split " + quote(earlier) + " feed/rec " + quote(out) + " --replace").status, 0);
        if (c.folderInPlace) {
            std::remove((out + "/rec-000002.xml").c_str());
            ASSERT_EQ(::mkdir((out + "/rec-000002.xml").c_str(), 0777), 0);
        }
        const std::string in = parent + "/" + c.input;
        spit(in, c.document);
        if (c.link) {
            std::remove((out + "/" + c.link).c_str());
            ASSERT_EQ(::symlink(in.c_str(), (out + "/" + c.link).c_str()), 0);
        }
        const std::map<std::string, std::string> before = contentsOf(out);
        const std::set<std::string> beside = filesIn(parent);
        const std::string limit = c.status == 5 && !c.folderInPlace ? "trap '' XFSZ; ulimit -f 64; " : "";
        Result r = shell(limit + std::string(QUARN_TOOL) + " split " + quote(in) + " feed/rec " + quote(out) +
                         " --replace" + c.options);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(filesIn(parent), beside) << "nothing hidden is left beside the folder";
        if (c.status != 0) {
            EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
            EXPECT_EQ(contentsOf(out), before);
            continue;
        }
        std::map<std::string, std::string> expected{{"rec-000001.xml", recordText(1)}, {"rec-000002.xml", recordText(2)}};
        if (std::string(c.input) == "out/in.xml") expected["in.xml"] = c.document;
        EXPECT_EQ(contentsOf(out), expected);
        EXPECT_TRUE(libxml2Reads(expected["rec-000002.xml"]));
    }
    shell("rm -rf " + quote(parent));
}

// A run into a new or an empty folder of the user's own appears whole or not at all: the folder
// keeps an empty one's mode, nothing hidden is left beside it, a write that fails midway (a file
// size limit) leaves no folder or an empty one, and a second run into it is refused.
TEST(QuarnSplit, ARunIntoANewOrEmptyFolderAppearsWholeOrNotAtAll) {
    const std::string parent = tempPath("split-whole");
    const std::string in = parent + "/in.xml", out = parent + "/out";
    // The third record is far larger than the limit the failing runs write under.
    std::string doc = records(5);
    doc.replace(doc.find("<v>3</v>"), 8, "<v>" + std::string(300000, '3') + "</v>");
    const std::string limited = "trap '' XFSZ; ulimit -f 64; ";
    struct Case {
        const char* what;
        int mode;          // of the empty folder there before the run; 0: none
        bool fails;
    };
    for (const Case& c : {Case{"new folder", 0, false}, Case{"empty folder 0750", 0750, false},
                          Case{"empty folder 0700", 0700, false}, Case{"new folder, fails", 0, true},
                          Case{"empty folder 0750, fails", 0750, true}}) {
        SCOPED_TRACE(c.what);
        shell("rm -rf " + quote(parent) + " && mkdir " + quote(parent));
        spit(in, doc);
        if (c.mode != 0) {
            ASSERT_EQ(::mkdir(out.c_str(), 0777), 0);
            ASSERT_EQ(::chmod(out.c_str(), static_cast<mode_t>(c.mode)), 0);
        }
        Result r = shell((c.fails ? limited : std::string()) + "umask 022; " + std::string(QUARN_TOOL) + " split " +
                         quote(in) + " feed/rec " + quote(out));
        // Beside the folder only the input and (when the run did not fail, or it was there) it.
        EXPECT_EQ(filesIn(parent), c.fails && c.mode == 0 ? (std::set<std::string>{"in.xml"})
                                                           : (std::set<std::string>{"in.xml", "out"}));
        if (c.fails) {
            EXPECT_EQ(r.status, 5) << r.err;
            EXPECT_NE(r.err.find("rec-000003.xml"), std::string::npos) << r.err;
            EXPECT_TRUE(filesIn(out).empty()) << "records 1 and 2 were whole, but the run was not";
        } else {
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(filesIn(out).size(), 5u);
            EXPECT_EQ(slurp(out + "/rec-000005.xml"), recordText(5));
            EXPECT_TRUE(libxml2Reads(slurp(out + "/rec-000003.xml")));
            Result again = quarn("split " + quote(in) + " feed/rec " + quote(out));
            EXPECT_EQ(again.status, 2);
            EXPECT_EQ(filesIn(out).size(), 5u);
        }
        if (c.mode != 0 || !c.fails) {
            struct stat st {};
            ASSERT_EQ(::stat(out.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, c.mode != 0 ? static_cast<unsigned>(c.mode) : 0755u);
        }
    }
    shell("rm -rf " + quote(parent));
}

TEST(RecordLoopExample, WalksALongMessageInTheSameFewSlots) {
    const std::string in = tempPath("record-loop.xml");
    spit(in, records(5000));
    Result r = shell(quote(QUARN_RECORD_LOOP_EXAMPLE) + " " + quote(in));
    ASSERT_EQ(r.status, 0) << r.err;
    // 5000 records, the head and the tail, and the attributes among them.
    EXPECT_EQ(r.out.substr(0, r.out.find(';')), "5002 records, 10001 attributes") << r.out;
    const std::size_t slots = std::stoul(r.out.substr(r.out.rfind(", ") + 2));
    EXPECT_LT(slots, 64u) << r.out;
}

} // namespace

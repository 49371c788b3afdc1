// quarn split and the record-loop example, end to end: every record becomes a document of its
// own with its input bytes, converted and declared when another page is asked for (and read back
// by libxml2); a broken message leaves no file unless the check is turned off; the record loop
// walks a long message in the same few pool slots.
#include "tests/tools/QuarnRun.hpp"

#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <dirent.h>

#include <set>
#include <string>

namespace {
using namespace quarntest;

std::set<std::string> filesIn(const std::string& folder) {
    std::set<std::string> names;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(d)) names.insert(e->d_name);
        ::closedir(d);
    }
    names.erase(".");
    names.erase("..");
    return names;
}

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

TEST(RecordLoopExample, WalksALongMessageInTheSameFewSlots) {
    const std::string in = tempPath("record-loop.xml");
    spit(in, records(5000));
    Result r = shell(quote(QUARN_RECORD_LOOP_EXAMPLE) + " " + quote(in));
    ASSERT_EQ(r.status, 0) << r.err;
    // 5000 records, the head and the tail; the check counts every element a full parse builds.
    EXPECT_EQ(r.out.substr(0, r.out.find(';')), "5002 records of 35011 elements") << r.out;
    const std::size_t slots = std::stoul(r.out.substr(r.out.find(", ") + 2));
    EXPECT_LT(slots, 64u) << r.out;
}

} // namespace

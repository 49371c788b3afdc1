// Finding a message's code page from its bytes, and code-page names on command lines.
#include "host/KelEncodingDetector.hpp"
#include "host/KelException.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {
using Source = KelEncodingDetector::Source;

KelEncodingDetector::Result detect(const std::string& bytes) {
    return KelEncodingDetector::detect(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string failure(const std::string& bytes) {
    try {
        detect(bytes);
    } catch (const KelRecoverableException& e) {
        EXPECT_EQ(e.catalogueNumber(), 2342u);
        return e.inserts().empty() ? std::string("?") : e.inserts()[0];
    }
    return std::string();
}
} // namespace

TEST(KelEncodingDetector, NamesAnswerWithTheCcsidPeopleUse) {
    const struct {
        const char* name;
        int ccsid;
        int encoding;
    } names[] = {{"utf-8", 1208, 0},        {"UTF8", 1208, 0},          {"utf-16", 1200, 0},
                 {"UTF-16BE", 1200, 273},   {"utf_16le", 1200, 546},    {"ibm-037", 37, 0},
                 {"IBM037", 37, 0},         {"cp1047", 1047, 0},        {"ibm-1047", 1047, 0},
                 {"iso-8859-1", 819, 0},    {"ISO_8859-1", 819, 0},     {"latin1", 819, 0},
                 {"shift_jis", 943, 0},     {"windows-1252", 1252, 0},  {"cp1252", 1252, 0},
                 {"us-ascii", 367, 0},      {"ebcdic-cp-us", 37, 0},    {"1208", 1208, 0},
                 {"37", 37, 0},             {"ibm-500", 500, 0},        {"iso-8859-15", 923, 0},
                 {"euc-jp", 5050, 0},       {"ibm-930", 930, 0},
                 // ICU's other names for UTF-16 of one byte order give that order too.
                 {"x-utf-16be", 1200, 273}, {"UTF16_BigEndian", 1200, 273}, {"windows-1201", 1200, 273},
                 {"x-utf-16le", 1200, 546}, {"windows-1200", 1200, 546},   {"ucs-2", 1200, 0}};
    for (const auto& n : names) {
        EXPECT_EQ(KelEncodingDetector::ccsidForName(n.name), n.ccsid) << n.name;
        EXPECT_EQ(KelEncodingDetector::encodingForName(n.name), n.encoding) << n.name;
    }
    // UTF-32, SCSU and ICU's numbers for UTF-16 of one byte order are no page here.
    for (const char* unknown : {"", "bogus", "utf-32", "UCS-4", "99999", "0", "-5", "ibm-", "cp99999", "ibm-1201",
                                "1202", "ibm-1232", "scsu"})
        EXPECT_EQ(KelEncodingDetector::ccsidForName(unknown), -1) << unknown;
    EXPECT_EQ(KelEncodingDetector::encodingForName("be"), 273);
    EXPECT_EQ(KelEncodingDetector::encodingForName("LE"), 546);
    EXPECT_EQ(KelEncodingDetector::encodingForName("middle"), 0);
}

TEST(KelEncodingDetector, MarksAndSignaturesComeFirst) {
    auto r = detect("\xEF\xBB\xBF<a/>");
    EXPECT_EQ(r.ccsid, 1208);
    EXPECT_EQ(r.markLength, 3u);
    EXPECT_EQ(r.source, Source::ByteOrderMark);
    r = detect(std::string("\xFE\xFF\0<\0a", 6));
    EXPECT_EQ(r.ccsid, 1200);
    EXPECT_EQ(r.encoding, 273);
    EXPECT_EQ(r.markLength, 2u);
    r = detect(std::string("\xFF\xFE<\0a\0", 6));
    EXPECT_EQ(r.ccsid, 1200);
    EXPECT_EQ(r.encoding, 546);
    // A mark wins over a declaration that says otherwise.
    r = detect("\xEF\xBB\xBF<?xml version='1.0' encoding='ISO-8859-1'?><a/>");
    EXPECT_EQ(r.ccsid, 1208);
    // UTF-16 without a mark, known by its "<?".
    r = detect(std::string("\0<\0?\0x\0m\0l", 10));
    EXPECT_EQ(r.ccsid, 1200);
    EXPECT_EQ(r.encoding, 273);
    EXPECT_EQ(r.source, Source::Utf16Signature);
    r = detect(std::string("<\0?\0x\0m\0l\0", 10));
    EXPECT_EQ(r.encoding, 546);
    // UTF-32 in any form is refused, never read as something else.
    EXPECT_NE(failure(std::string("\0\0\xFE\xFF\0\0\0<", 8)).find("UTF-32"), std::string::npos);
    EXPECT_NE(failure(std::string("\xFF\xFE\0\0<\0\0\0", 8)).find("UTF-32"), std::string::npos);
    EXPECT_NE(failure(std::string("<\0\0\0?\0\0\0", 8)).find("UTF-32"), std::string::npos);
    EXPECT_NE(failure(std::string("\0\0\0<\0\0\0?", 8)).find("UTF-32"), std::string::npos);
}

TEST(KelEncodingDetector, TheDeclarationNamesThePage) {
    auto r = detect("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>\xE9</a>");
    EXPECT_EQ(r.ccsid, 819);
    EXPECT_EQ(r.source, Source::Declaration);
    EXPECT_EQ(r.declaredName, "ISO-8859-1");
    EXPECT_EQ(detect("<?xml version='1.0' encoding = 'windows-1252' ?><a/>").ccsid, 1252);
    EXPECT_EQ(detect("<?xml version='1.0' encoding='Shift_JIS'?><a/>").ccsid, 943);
    EXPECT_EQ(detect("<?xml version='1.0'?><a/>").ccsid, 1208);
    EXPECT_EQ(detect("<?xml version='1.0'?><a/>").source, Source::Default);
    EXPECT_EQ(detect("<a encoding='ISO-8859-1'/>").ccsid, 1208);   // only the declaration counts
    EXPECT_EQ(detect("").ccsid, 1208);
    EXPECT_EQ(detect("<").ccsid, 1208);
    // The declaration of an EBCDIC message, read in EBCDIC: "<?xml version="1.0" encoding="IBM-1047"?>".
    const std::string ebcdic1047 =
        "\x4C\x6F\xA7\x94\x93\x40\xA5\x85\x99\xA2\x89\x96\x95\x7E\x7F\xF1\x4B\xF0\x7F\x40\x85\x95\x83\x96\x84\x89\x95"
        "\x87\x7E\x7F\xC9\xC2\xD4\x60\xF1\xF0\xF4\xF7\x7F\x6F\x6E";
    r = detect(ebcdic1047);
    EXPECT_EQ(r.ccsid, 1047);
    EXPECT_EQ(r.declaredName, "IBM-1047");
    // EBCDIC with no encoding named, or naming a page that is not EBCDIC: the bytes decide.
    EXPECT_EQ(detect(ebcdic1047.substr(0, 19) + "\x6F\x6E").ccsid, 37);
    EXPECT_EQ(detect(ebcdic1047.substr(0, 19) + "\x6F\x6E").source, Source::EbcdicSignature);
    std::string saysUtf8 = ebcdic1047;
    saysUtf8.replace(30, 8, "\xE4\xE3\xC6\x60\xF8\x7F\x6F\x6E");   // UTF-8"?>
    EXPECT_EQ(detect(saysUtf8.substr(0, 38)).ccsid, 37);
    // Names no page answers to, and names that contradict the bytes, are clear errors.
    EXPECT_NE(failure("<?xml version='1.0' encoding='klingon'?><a/>").find("klingon"), std::string::npos);
    EXPECT_NE(failure("<?xml version='1.0' encoding='UTF-16'?><a/>").find("UTF-16"), std::string::npos);
    EXPECT_NE(failure("<?xml version='1.0' encoding='UTF-32'?><a/>").find("UTF-32"), std::string::npos);
    EXPECT_NE(failure("<?xml version='1.0' encoding='IBM037'?><a/>").find("IBM037"), std::string::npos);
    // A declaration cut short or without its closing quote names nothing.
    EXPECT_EQ(detect("<?xml version='1.0' encoding='ISO-8859-1").ccsid, 1208);
}

// Exceptions, the throw helper and tracing.
#include "host/KelLog.hpp"
#include "host/KelThrow.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {
std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct CountingInsert {
    mutable int formatted = 0;
};
KelLog::Item& operator<<(KelLog::Item& item, const CountingInsert& c) {
    ++c.formatted;
    return item << "counted";
}
KelException& operator<<(KelException& e, const CountingInsert&) { return e << "counted"; }
} // namespace

TEST(KelException, ParserExceptionsAreRecoverable) {
    try {
        kelThrow<KelParserException>(nullptr, KEL_HERE, "Test::fn", KelMsg::E_XmlP_ParseError, 7, "seven");
    } catch (const KelRecoverableException& e) {
        EXPECT_STREQ(e.typeName(), "KelParserException");
        EXPECT_EQ(e.messageNumber(), 0xC0001391u);
        EXPECT_EQ(e.catalogueNumber(), 5009u);
        EXPECT_EQ(e.function(), "Test::fn");
        EXPECT_EQ(e.file(), "KelExceptionTest.cpp");
        EXPECT_EQ(e.inserts(), (std::vector<std::string>{"7", "seven"}));
        return;
    }
    FAIL() << "not caught as recoverable";
}

TEST(KelException, NestedExceptionsSurviveCopiesAndRender) {
    KelParserException inner(nullptr, "a/b/Inner.cpp", 12, "Inner::f", "quarn", KelMsg::E_XmlP_Generic.number,
                             KelMsg::E_XmlP_Generic.text);
    inner << 42 << KelStringBase(u"r\u00e9sum\u00e9");
    KelParserException outer(nullptr, "Outer.cpp", 3, "Outer::g", "quarn", KelMsg::E_XmlP_ParseError.number,
                             KelMsg::E_XmlP_ParseError.text);
    outer << inner;
    KelParserException copy = outer;
    ASSERT_EQ(copy.nested().size(), 1u);
    EXPECT_EQ(copy.nested()[0]->inserts()[1], "r\xC3\xA9sum\xC3\xA9");
    EXPECT_STREQ(copy.nested()[0]->typeName(), "KelParserException");
    std::string what = copy.what();
    EXPECT_NE(what.find("QRV5009E: XML Parsing Errors have occurred"), std::string::npos);
    EXPECT_NE(what.find("caused by: QRV5004E"), std::string::npos);
    EXPECT_NE(what.find("42"), std::string::npos);
    // throwThis keeps the dynamic type.
    std::unique_ptr<KelException> base = copy.clone();
    EXPECT_THROW(base->throwThis(), KelParserException);
}

TEST(KelMessageTable, HoldsEveryMessageOnce) {
    for (std::uint32_t n = 5001; n <= 5010; ++n) {
        const KelMessageDef* m = KelMsg::find(n);
        ASSERT_NE(m, nullptr) << n;
        EXPECT_EQ(m->number, 0xC0000000u + n);
        EXPECT_EQ(std::string(m->identifier).rfind("E_XmlP_", 0), 0u);
    }
    EXPECT_EQ(KelMsg::find(2334)->number, 0x8000091Eu);
    EXPECT_EQ(KelMsg::find(9999), nullptr);
    EXPECT_STREQ(KelMsg::E_XmlP_BufferOffsets.text, "Invalid buffer offsets for output");
}

TEST(KelLog, WritesThrowingExceptionItemsOnlyWhenTracing) {
    std::string path = ::testing::TempDir() + "quarn-trace-" + std::to_string(::getpid()) + ".log";
    std::remove(path.c_str());
    KelLog::setFile(path);
    CountingInsert counter;
    KelLog::setLevel(0);
    EXPECT_THROW(kelThrow<KelParserException>(nullptr, KEL_HERE, "Quiet::fn", KelMsg::E_XmlP_NoBody, counter),
                 KelParserException);
    EXPECT_EQ(counter.formatted, 0) << "text built while tracing was off";
    KelLog::setLevel(3);
    EXPECT_THROW(kelThrow<KelParserException>(nullptr, KEL_HERE, "Loud::fn", KelMsg::E_XmlP_NoBody, 5),
                 KelParserException);
    {
        KelTraceScope scope(nullptr, "Loud::scope", 1, true);
        KelDebugTraceScope debug(nullptr, "Loud::debug");  // level 3: no debug items
    }
    KelLog::setLevel(0);
    KelLog::setFile("");
    std::string log = readFile(path);
    EXPECT_EQ(log.find("Quiet::fn"), std::string::npos);
    EXPECT_NE(log.find("Loud::fn \"Throwing exception\""), std::string::npos);
    EXPECT_NE(log.find("E_XmlP_NoBody | No valid body of the document could be found. | 5"), std::string::npos);
    EXPECT_NE(log.find("Entry Loud::scope | 1 | true"), std::string::npos);
    EXPECT_NE(log.find("Exit Loud::scope"), std::string::npos);
    EXPECT_EQ(log.find("Loud::debug"), std::string::npos);
    std::remove(path.c_str());
}

// The parser registry with the real parser plug-in loaded at run time (this test program does not
// link it): domains by name, parsers that keep their library loaded, the library really closed
// after unload, a load/unload/load cycle with code pages, a plug-in replaced by another file while
// a group still holds parsers of the first, and the errors a host meets.
#include "host/KelException.hpp"
#include "host/KelMessageGroup.hpp"
#include "host/KelParser.hpp"
#include "host/KelParserInspector.hpp"
#include "host/KelParserRegistry.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelWriteBuffer.hpp"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {
const std::string kPlugin = QUARN_PARSER_PLUGIN;

bool pluginMapped() {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find("libquarnparse") != std::string::npos) return true;
    return false;
}

std::vector<std::string> utf8(const std::vector<KelStringBase>& names) {
    std::vector<std::string> out;
    for (const KelStringBase& n : names) out.push_back(n.toUtf8());
    return out;
}

// Parses `bytes` with a parser of `domain`, changes the first attribute of the document element
// to `value` and writes the message back in `outCcsid`.
std::string roundTrip(const std::string& domain, const std::string& bytes, int ccsid, int outCcsid,
                      const std::u16string& value) {
    KelMessageGroup group;
    KelParser* p = KelParserRegistry::instance().createParser(KelStringBase::fromUtf8(domain), group);
    p->refreshElementsFromBitStream(nullptr, KelBuffer::fromString(bytes), 546, ccsid);
    KelSyntaxElement* e = p->rootElement()->firstChild();
    while (e && e->type() != 0x01000000) e = e->nextSibling();   // the document element
    if (!e) return "no document element";
    e->firstChild()->setValue(KelStringBase(value));
    KelWriteBuffer out(outCcsid);
    p->refreshBitStreamFromElements(nullptr, &out, p->rootElement(), 546, outCcsid);
    return std::string(reinterpret_cast<const char*>(out.data()), static_cast<std::size_t>(out.used()));
}

std::string ebcdic37(const std::string& ascii) {
    // Enough of ccsid 37 for the test documents.
    std::string out;
    for (char c : ascii) {
        switch (c) {
        case '<': out += '\x4C'; break;
        case '>': out += '\x6E'; break;
        case '/': out += '\x61'; break;
        case '=': out += '\x7E'; break;
        case '\'': out += '\x7D'; break;
        case ' ': out += '\x40'; break;
        case '1': out += '\xF1'; break;
        case 'a': out += '\x81'; break;
        case 'b': out += '\x82'; break;
        case 't': out += '\xA3'; break;
        case 'x': out += '\xA7'; break;
        default: ADD_FAILURE() << "no ccsid 37 byte for " << c;
        }
    }
    return out;
}

// The libraries the plug-in brings that have thread-local storage (the scanner library's network
// dependencies) are kept loaded for the whole program: LeakSanitizer's check at exit reads the
// thread-local block of every library it was told of, and one closed with the plug-in left it a
// stale range to read. The plug-in itself still loads and closes as the tests say.
int pinThreadLocalLibrary(dl_phdr_info* info, std::size_t, void*) {
    const std::string name = info->dlpi_name ? info->dlpi_name : "";
    if (info->dlpi_tls_modid != 0 && !name.empty() && name.find("libquarnparse") == std::string::npos)
        (void)::dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    return 0;
}

class KelParserRegistryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (void* plugin = ::dlopen(kPlugin.c_str(), RTLD_NOW | RTLD_LOCAL)) {
            ::dl_iterate_phdr(&pinThreadLocalLibrary, nullptr);
            ::dlclose(plugin);
        }
    }
    void TearDown() override { KelParserRegistry::instance().unload(kPlugin); }
};

template <class F> KelException caught(F f) {
    try {
        f();
    } catch (const KelRecoverableException& e) {
        return e;
    }
    ADD_FAILURE() << "no KelRecoverableException";
    return KelException("", 0, "", "", 0, "");
}
} // namespace

TEST_F(KelParserRegistryTest, LoadUnloadLoadClosesTheLibraryAndParsesAgain) {
    KelParserRegistry& registry = KelParserRegistry::instance();
    ASSERT_FALSE(pluginMapped()) << "the test program must not link the plug-in";
    for (int cycle = 0; cycle < 2; ++cycle) {
        SCOPED_TRACE(cycle);
        EXPECT_EQ(utf8(registry.load(kPlugin)), (std::vector<std::string>{"XML", "JMSMap", "JMSStream"}));
        EXPECT_TRUE(pluginMapped());
        EXPECT_EQ(registry.parserClassName(KelStringBase(u"JMSStream")).toUtf8(), "jms_stream");
        EXPECT_EQ(roundTrip("XML", "<a x='1'>t</a>", 1208, 1208, u"2"), "<a x='2'>t</a>");
        // Code-page names are registered with the scanner library anew after every load.
        EXPECT_EQ(roundTrip("JMSMap", ebcdic37("<a x='1'>t</a>"), 37, 1208, u"b"), "<a x='b'>t</a>");
        EXPECT_TRUE(registry.unload(kPlugin));
        EXPECT_FALSE(registry.unload(kPlugin));
        EXPECT_FALSE(registry.hasDomain(KelStringBase(u"XML")));
        EXPECT_FALSE(pluginMapped()) << "unloading left the library in the process";
    }
}

TEST_F(KelParserRegistryTest, ParsersAndInspectorsKeepTheirLibraryUntilTheyAreGone) {
    KelParserRegistry& registry = KelParserRegistry::instance();
    registry.load(kPlugin);
    auto group = std::make_unique<KelMessageGroup>();
    KelParser* p = registry.createParser(KelStringBase(u"JMSMap"), *group);
    EXPECT_EQ(p->parserClassName().toUtf8(), "jms_map");
    EXPECT_EQ(p->rootElement()->name().toUtf8(), "JMSMap");
    // The group finds the plug-in's other classes by class name too.
    KelParser* stream = group->createParser(KelStringBase(u"jms_stream"));
    EXPECT_EQ(stream->rootElement()->name().toUtf8(), "JMSStream");
    std::shared_ptr<const KelParserInspector> inspector = registry.inspector(KelStringBase(u"XML"));
    ASSERT_TRUE(inspector);

    EXPECT_TRUE(registry.unload(kPlugin));
    EXPECT_TRUE(pluginMapped());
    // The parser still works after its domain is gone.
    p->refreshElementsFromBitStream(nullptr, KelBuffer::fromString("<m><k>v</k><k>w</k></m>"), 546, 1208);
    KelSyntaxElement* m = p->rootElement()->firstChild();
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(inspector->elementTypeName(m->type()), "XmlTypeElement");
    EXPECT_EQ(inspector->elementTypeName(0x7FFFFFF), nullptr);
    KelParserStatistics early = inspector->statistics(p);
    EXPECT_EQ(m->lastChild()->firstChild()->value().valueAsCharacter().toUtf8(), "w");
    KelParserStatistics late = inspector->statistics(p);
    EXPECT_GT(late.scanSteps, early.scanSteps);
    EXPECT_GT(late.elementsBuilt, early.elementsBuilt);
    EXPECT_TRUE(inspector->hasReusableSpan(m));
    m->firstChild()->firstChild()->setValue(KelStringBase(u"z"));
    EXPECT_FALSE(inspector->hasReusableSpan(m));
    KelWriteBuffer out(1208);
    p->refreshBitStreamFromElements(nullptr, &out, p->rootElement(), 546, 1208);
    KelParserStatistics written = inspector->statistics(p);
    EXPECT_EQ(written.bytesFromSpans + written.bytesAsMarkup, out.used());
    // Only the new value is written anew: every tag and the other text are copied.
    EXPECT_EQ(out.toString(), "<m><k>z</k><k>w</k></m>");
    EXPECT_EQ(written.bytesFromSpans, out.used() - 1);

    // No group can make these classes any more, a new one or one that made them before.
    KelMessageGroup other;
    EXPECT_EQ(caught([&] { other.createParser(KelStringBase(u"jms_map")); }).catalogueNumber(), 2350u);
    EXPECT_EQ(caught([&] { group->createParser(KelStringBase(u"jms_map")); }).catalogueNumber(), 2350u);
    inspector.reset();
    EXPECT_TRUE(pluginMapped()) << "the group's parsers still hold the library";
    // The host's own factories take the plug-in's place for the parsers to come, and the
    // parsers made before still run the plug-in's code.
    for (const char16_t* name : {u"jms_map", u"jms_stream"})
        group->registerParserFactory(KelStringBase(name), [](KelMessageGroup*, bool) { return nullptr; });
    EXPECT_TRUE(pluginMapped());
    p->refreshElementsFromBitStream(nullptr, KelBuffer::fromString("<m>again</m>"), 546, 1208);
    EXPECT_EQ(p->rootElement()->firstChild()->firstChild()->value().valueAsCharacter().toUtf8(), "again");
    group.reset();
    EXPECT_FALSE(pluginMapped());
}

// The file whose code a parser runs.
std::string libraryOf(const KelParser* parser) {
    Dl_info info{};
    const void* vtable = *reinterpret_cast<void* const*>(parser);
    return ::dladdr(vtable, &info) && info.dli_fname ? info.dli_fname : "";
}

TEST_F(KelParserRegistryTest, AGroupMakesParsersOnlyFromThePlugInLoadedNow) {
    KelParserRegistry& registry = KelParserRegistry::instance();
    // The same plug-in in another file: what a host loads when it replaces one version by another
    // (beside the first, where the libraries it needs are found).
    const std::string other = kPlugin.substr(0, kPlugin.rfind('/') + 1) + "quarn-registry-other-plugin.so";
    {
        std::ifstream in(kPlugin, std::ios::binary);
        std::ofstream out(other, std::ios::binary | std::ios::trunc);
        out << in.rdbuf();
        ASSERT_TRUE(out.good());
    }
    const std::string message = ebcdic37("<a x='1'>t</a>");
    const auto firstValue = [&](KelParser* p) {
        p->refreshElementsFromBitStream(nullptr, KelBuffer::fromString(message), 546, 37);
        return p->rootElement()->firstChild()->firstChild()->value().valueAsCharacter().toUtf8();
    };
    registry.load(kPlugin);
    auto group = std::make_unique<KelMessageGroup>();
    KelParser* first = registry.createParser(KelStringBase(u"XML"), *group);
    EXPECT_EQ(firstValue(first), "1");
    EXPECT_TRUE(registry.unload(kPlugin));
    // The unloaded plug-in makes no more parsers, through the group as through a new group.
    EXPECT_EQ(caught([&] { group->createParser(KelStringBase(u"xml")); }).catalogueNumber(), 2350u);
    EXPECT_EQ(caught([&] { group->createParser(KelStringBase(u"jms_map")); }).catalogueNumber(), 2350u);
    EXPECT_TRUE(pluginMapped()) << "the group's parser still runs the first file's code";
    // Another file of it is not loaded while the first one's parsers live: the two would set up
    // the scanner library's code-page names over each other.
    KelException beside = caught([&] { registry.load(other); });
    EXPECT_EQ(beside.catalogueNumber(), 2351u);
    EXPECT_NE(std::string(beside.what()).find(kPlugin), std::string::npos) << beside.what();
    EXPECT_FALSE(registry.isLoaded(other));
    EXPECT_FALSE(registry.hasDomain(KelStringBase(u"XML")));
    // The same file again serves the group anew.
    registry.load(kPlugin);
    EXPECT_EQ(firstValue(group->createParser(KelStringBase(u"jms_stream"))), "1");
    EXPECT_EQ(firstValue(first), "1");
    EXPECT_TRUE(registry.unload(kPlugin));
    group.reset();
    EXPECT_FALSE(pluginMapped());

    // Once they are gone, the other file serves the domains, new groups and old alike.
    registry.load(other);
    {
        KelMessageGroup later;
        KelParser* second = registry.createParser(KelStringBase(u"XML"), later);
        EXPECT_EQ(libraryOf(second), other);
        EXPECT_EQ(firstValue(second), "1");
        EXPECT_EQ(roundTrip("JMSMap", message, 37, 1208, u"b"), "<a x='b'>t</a>");
        EXPECT_TRUE(registry.unload(other));
        EXPECT_EQ(caught([&] { registry.load(kPlugin); }).catalogueNumber(), 2351u);
    }
    registry.load(kPlugin);
    KelMessageGroup last;
    EXPECT_EQ(libraryOf(registry.createParser(KelStringBase(u"XML"), last)), kPlugin);
    EXPECT_EQ(roundTrip("JMSMap", message, 37, 1208, u"c"), "<a x='c'>t</a>");
    std::remove(other.c_str());
}

TEST_F(KelParserRegistryTest, UnknownDomainsAndBadLibrariesGiveClearErrors) {
    KelParserRegistry& registry = KelParserRegistry::instance();
    KelMessageGroup group;
    KelException unknown = caught([&] { registry.createParser(KelStringBase(u"XML"), group); });
    EXPECT_EQ(unknown.catalogueNumber(), 2350u);
    EXPECT_NE(std::string(unknown.what()).find("XML"), std::string::npos) << unknown.what();

    KelException missing = caught([&] { registry.load("/nonexistent/libquarnparse.so.0"); });
    EXPECT_EQ(missing.catalogueNumber(), 2351u);
    EXPECT_NE(std::string(missing.what()).find("/nonexistent/libquarnparse.so.0"), std::string::npos);

    // A library that is no parser plug-in.
    KelException notPlugin = caught([&] { registry.load("libc.so.6"); });
    EXPECT_EQ(notPlugin.catalogueNumber(), 2351u);
    EXPECT_NE(std::string(notPlugin.what()).find("kelParserRegistrations"), std::string::npos) << notPlugin.what();
    EXPECT_FALSE(registry.isLoaded("libc.so.6"));

    // A domain that is taken already: nothing of the plug-in is registered, and it is closed.
    registry.add({u"JMSMap", u"mine", [](KelMessageGroup*, bool) -> KelParser* { return nullptr; }, nullptr});
    KelException taken = caught([&] { registry.load(kPlugin); });
    EXPECT_EQ(taken.catalogueNumber(), 2351u);
    EXPECT_NE(std::string(taken.what()).find("JMSMap"), std::string::npos);
    EXPECT_FALSE(registry.hasDomain(KelStringBase(u"XML")));
    EXPECT_FALSE(pluginMapped());
    EXPECT_TRUE(registry.remove(KelStringBase(u"JMSMap")));
    EXPECT_EQ(utf8(registry.load(kPlugin)).size(), 3u);
}

TEST_F(KelParserRegistryTest, ParsersOnManyThreadsAtOnce) {
    KelParserRegistry& registry = KelParserRegistry::instance();
    registry.load(kPlugin);
    std::vector<std::string> results(6);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] {
            try {
                results[i] = roundTrip(i % 2 ? "XML" : "JMSStream", ebcdic37("<a x='1'>t</a>"), 37, 37,
                                       std::u16string(1, static_cast<char16_t>(u'a' + i % 2)));
            } catch (const std::exception& e) {
                results[i] = e.what();
            }
        });
    for (std::thread& t : threads) t.join();
    for (std::size_t i = 0; i < results.size(); ++i)
        EXPECT_EQ(results[i], ebcdic37(i % 2 ? "<a x='b'>t</a>" : "<a x='a'>t</a>")) << i;
}

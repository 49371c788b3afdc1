// The benchmark program: quarn's workloads and the libraries a broker would otherwise use, on
// the same in-memory bytes in the same run. Documents are generated at start-up, never read
// from disk. bench/run turns the JSON output into docs/performance.md.
#include "bench/DocumentGenerator.hpp"
#include "bench/IcuConvertFloor.hpp"
#include "bench/QuarnWorkloads.hpp"
#include "bench/XercesScanFloor.hpp"

#include "host/KelBuffer.hpp"
#include "host/KelLog.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelWriteBuffer.hpp"

#include <benchmark/benchmark.h>
#include <expat.h>
#include <libxml/parser.h>
#include <libxml/xmlreader.h>
#include <pugixml.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax2/Attributes.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t kMB = 1024 * 1024;

// One generated document per size and encoding, shared by every benchmark of the run.
const std::string& documentOf(std::size_t megabytes, DocumentGenerator::Encoding encoding) {
    static std::map<std::pair<std::size_t, int>, std::string> documents;
    auto key = std::make_pair(megabytes, static_cast<int>(encoding));
    auto found = documents.find(key);
    if (found == documents.end())
        found = documents.emplace(key, DocumentGenerator(7).document(megabytes * kMB, encoding)).first;
    return found->second;
}
const std::string& utf8Of(std::size_t megabytes) { return documentOf(megabytes, DocumentGenerator::Encoding::Utf8); }
const std::string& utf16Of(std::size_t megabytes) { return documentOf(megabytes, DocumentGenerator::Encoding::Utf16Le); }

KelBuffer viewOf(const std::string& bytes) {
    return KelBuffer(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<long>(bytes.size()));
}

void setBytes(benchmark::State& state, const std::string& bytes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}

// ---- floors --------------------------------------------------------------------------------

void BM_Memcpy(benchmark::State& state) {
    const std::string& doc = utf8Of(static_cast<std::size_t>(state.range(0)));
    std::vector<char> target(doc.size());
    for (auto _ : state) {
        std::memcpy(target.data(), doc.data(), doc.size());
        benchmark::ClobberMemory();
    }
    setBytes(state, doc);
}

void BM_XercesProgressiveScan(benchmark::State& state) {
    const bool utf16 = state.range(1) != 0;
    const std::string& doc = utf16 ? utf16Of(static_cast<std::size_t>(state.range(0))) : utf8Of(static_cast<std::size_t>(state.range(0)));
    XercesScanFloor floor;
    for (auto _ : state) {
        benchmark::DoNotOptimize(floor.scan(reinterpret_cast<const unsigned char*>(doc.data()), doc.size(),
                                            utf16 ? u"UTF-16LE" : u"UTF-8"));
    }
    benchmark::DoNotOptimize(floor.offsetSum());
    setBytes(state, doc);
}

void BM_IcuConvert(benchmark::State& state) {
    const std::string& doc = utf8Of(10);
    const char* target = state.range(0) == 1200 ? "UTF-16LE" : "ibm-37_P100-1995";
    IcuConvertFloor::run(state, doc, target, 8192);
    setBytes(state, doc);
}

// ---- peers ---------------------------------------------------------------------------------

void BM_XercesDom(benchmark::State& state) {
    const std::string& doc = utf8Of(static_cast<std::size_t>(state.range(0)));
    xercesc::XMLPlatformUtils::Initialize();
    for (auto _ : state) {
        xercesc::XercesDOMParser parser;
        parser.setDoNamespaces(false);
        parser.setValidationScheme(xercesc::XercesDOMParser::Val_Never);
        xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(doc.data()), doc.size(), u"file:///", false);
        parser.parse(source);
        benchmark::DoNotOptimize(parser.getDocument());
    }
    setBytes(state, doc);
}

class CountingSax2Handler : public xercesc::DefaultHandler {
public:
    void startElement(const XMLCh* const, const XMLCh* const, const XMLCh* const, const xercesc::Attributes& a) override {
        count += a.getLength() + 1;
    }
    void characters(const XMLCh* const, const XMLSize_t length) override { count += length; }
    std::size_t count = 0;
};

void BM_XercesSax2(benchmark::State& state) {
    const std::string& doc = utf8Of(static_cast<std::size_t>(state.range(0)));
    xercesc::XMLPlatformUtils::Initialize();
    std::unique_ptr<xercesc::SAX2XMLReader> reader(xercesc::XMLReaderFactory::createXMLReader());
    reader->setFeature(xercesc::XMLUni::fgSAX2CoreNameSpaces, false);
    reader->setFeature(xercesc::XMLUni::fgSAX2CoreValidation, false);
    CountingSax2Handler handler;
    reader->setContentHandler(&handler);
    for (auto _ : state) {
        xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(doc.data()), doc.size(), u"file:///", false);
        reader->parse(source);
    }
    benchmark::DoNotOptimize(handler.count);
    setBytes(state, doc);
}

void BM_PugixmlParse(benchmark::State& state) {
    const std::string& doc = utf8Of(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        pugi::xml_document d;
        pugi::xml_parse_result r = d.load_buffer(doc.data(), doc.size());
        if (!r) state.SkipWithError("pugixml parse failed");
        benchmark::DoNotOptimize(d.first_child());
    }
    setBytes(state, doc);
}

struct StringWriter : pugi::xml_writer {
    std::string out;
    void write(const void* data, size_t size) override { out.append(static_cast<const char*>(data), size); }
};

void BM_PugixmlEditSave(benchmark::State& state) {
    const std::string& doc = utf8Of(static_cast<std::size_t>(state.range(0)));
    StringWriter writer;
    for (auto _ : state) {
        pugi::xml_document d;
        d.load_buffer(doc.data(), doc.size(), pugi::parse_full);
        pugi::xml_node item = d.document_element().last_child().child("lines").last_child();
        item.attribute(DocumentGenerator::deepAttributeName()).set_value("99");
        writer.out.clear();
        d.save(writer, "", pugi::format_raw);
        benchmark::DoNotOptimize(writer.out.data());
    }
    setBytes(state, doc);
}

void BM_Libxml2Sax(benchmark::State& state) {
    const std::string& doc = utf8Of(static_cast<std::size_t>(state.range(0)));
    xmlSAXHandler sax;
    std::memset(&sax, 0, sizeof sax);
    static std::size_t count = 0;
    sax.startElement = [](void*, const xmlChar*, const xmlChar**) { ++count; };
    sax.characters = [](void*, const xmlChar*, int length) { count += static_cast<std::size_t>(length); };
    for (auto _ : state) {
        if (xmlSAXUserParseMemory(&sax, nullptr, doc.data(), static_cast<int>(doc.size())) != 0)
            state.SkipWithError("libxml2 parse failed");
    }
    benchmark::DoNotOptimize(count);
    setBytes(state, doc);
}

void BM_Libxml2Reader(benchmark::State& state) {
    const std::string& doc = utf8Of(static_cast<std::size_t>(state.range(0)));
    std::size_t count = 0;
    for (auto _ : state) {
        xmlTextReaderPtr reader = xmlReaderForMemory(doc.data(), static_cast<int>(doc.size()), "file:///", nullptr, 0);
        while (xmlTextReaderRead(reader) == 1) {
            if (const xmlChar* v = xmlTextReaderConstValue(reader)) count += std::strlen(reinterpret_cast<const char*>(v));
            count += xmlTextReaderAttributeCount(reader);
        }
        xmlFreeTextReader(reader);
    }
    benchmark::DoNotOptimize(count);
    setBytes(state, doc);
}

void BM_Expat(benchmark::State& state) {
    const std::string& doc = utf8Of(static_cast<std::size_t>(state.range(0)));
    std::size_t count = 0;
    for (auto _ : state) {
        XML_Parser parser = XML_ParserCreate(nullptr);
        XML_SetUserData(parser, &count);
        XML_SetElementHandler(
            parser, [](void* data, const XML_Char*, const XML_Char**) { ++*static_cast<std::size_t*>(data); },
            [](void*, const XML_Char*) {});
        XML_SetCharacterDataHandler(parser, [](void* data, const XML_Char*, int length) {
            *static_cast<std::size_t*>(data) += static_cast<std::size_t>(length);
        });
        if (XML_Parse(parser, doc.data(), static_cast<int>(doc.size()), 1) == XML_STATUS_ERROR)
            state.SkipWithError("expat parse failed");
        XML_ParserFree(parser);
    }
    benchmark::DoNotOptimize(count);
    setBytes(state, doc);
}

// ---- quarn ---------------------------------------------------------------------------------

// P1: every element built, every value read.
void BM_QuarnFullWalk(benchmark::State& state) {
    const bool utf16 = state.range(1) != 0;
    const std::string& doc = utf16 ? utf16Of(static_cast<std::size_t>(state.range(0))) : utf8Of(static_cast<std::size_t>(state.range(0)));
    QuarnWorkloads work(viewOf(doc), utf16 ? 1200 : 1208, 546);
    // A broker reuses its parser: one walk, not timed, gives the element pool the memory every
    // later walk reuses, as the peers' benchmarks run on warm state too. What a first walk costs
    // on top is in the notes (page faults).
    work.fullWalk();
    for (auto _ : state) {
        work.refresh();
        benchmark::DoNotOptimize(work.fullWalk());
    }
    setBytes(state, doc);
}

// P2: a new parser per message, asked for the first child of the document element only.
void BM_QuarnFirstChild(benchmark::State& state) {
    const std::string& doc = utf8Of(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        QuarnWorkloads work(viewOf(doc), 1208);
        benchmark::DoNotOptimize(work.firstChildOfDocumentElement());
    }
}

// P3: the unchanged message given back on the host's reuse path.
void BM_QuarnPassThrough(benchmark::State& state) {
    const std::string& doc = utf8Of(static_cast<std::size_t>(state.range(0)));
    QuarnWorkloads work(viewOf(doc), 1208);
    KelWriteBuffer out(1208, static_cast<long>(doc.size() + 1));
    for (auto _ : state) {
        out.clear();
        work.refresh();
        benchmark::DoNotOptimize(work.passThrough(out));
    }
    setBytes(state, doc);
}

// P4: one attribute changed in the last record, the message written back in its own page.
void BM_QuarnEditDeep(benchmark::State& state) {
    const std::string& doc = utf8Of(static_cast<std::size_t>(state.range(0)));
    QuarnWorkloads work(viewOf(doc), 1208);
    KelWriteBuffer out(1208, static_cast<long>(doc.size() + 4096));
    work.editDeepAttributeAndWrite(DocumentGenerator::deepAttributeName(), "99", out); // warm, as P1
    for (auto _ : state) {
        out.clear();
        work.refresh();
        benchmark::DoNotOptimize(work.editDeepAttributeAndWrite(DocumentGenerator::deepAttributeName(), "99", out));
    }
    setBytes(state, doc);
}

// P5: a fully walked tree written in another code page (the write alone is timed).
void BM_QuarnWriteCcsid(benchmark::State& state) {
    const std::string& doc = utf8Of(10);
    const int ccsid = static_cast<int>(state.range(0));
    QuarnWorkloads work(viewOf(doc), 1208);
    work.fullWalk();
    KelWriteBuffer out(ccsid, static_cast<long>(doc.size() * 2 + 4096));
    for (auto _ : state) {
        out.clear();
        benchmark::DoNotOptimize(work.writeTree(out, ccsid, 546));
    }
    setBytes(state, doc);
}

} // namespace

BENCHMARK(BM_Memcpy)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_XercesProgressiveScan)->Args({10, 0})->Args({10, 1})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IcuConvert)->Arg(1200)->Arg(37)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_XercesDom)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_XercesSax2)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PugixmlParse)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PugixmlEditSave)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Libxml2Sax)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Libxml2Reader)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Expat)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuarnFullWalk)->Args({10, 0})->Args({10, 1})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuarnFirstChild)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_QuarnPassThrough)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuarnEditDeep)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuarnWriteCcsid)->Arg(1200)->Arg(37)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    // Tracing stays off whatever the environment says: its cost when off is what is measured.
    KelLog::setLevel(0);
    xercesc::XMLPlatformUtils::Initialize();
    xmlInitParser();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

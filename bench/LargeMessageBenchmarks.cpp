// Large messages, 100 MB: the write that stops at the scan frontier (P4b same page, P4c 1208 to
// 1200) against a pass-through and against ICU converting the whole input, the tree-less check
// (P8) and the split into records (P9) against the scanner's own progressive scan.
#include "bench/DocumentGenerator.hpp"
#include "bench/IcuConvertFloor.hpp"
#include "bench/LargeMessageWorkloads.hpp"
#include "bench/XercesScanFloor.hpp"
#include "host/KelWriteBuffer.hpp"

#include <benchmark/benchmark.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kMB = 1024 * 1024;

const std::string& largeDocument(std::size_t megabytes) {
    static std::map<std::size_t, std::string> documents;
    auto found = documents.find(megabytes);
    if (found == documents.end()) found = documents.emplace(megabytes, DocumentGenerator(7).utf8Document(megabytes * kMB)).first;
    return found->second;
}

KelBuffer viewOf(const std::string& bytes) {
    return KelBuffer(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<long>(bytes.size()));
}

void setBytes(benchmark::State& state, const std::string& bytes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}

// P4b, P4c: the first record's attribute set, the message written (args: MB, output ccsid, and
// whether the host declares its input trusted). The goals measure the frontier copy, so their
// rows trust the input; untrusted, the unscanned rest is first checked without a tree (P8's cost).
void BM_LargeFrontierEdit(benchmark::State& state) {
    const std::string& doc = largeDocument(static_cast<std::size_t>(state.range(0)));
    const int ccsid = static_cast<int>(state.range(1));
    LargeMessageWorkloads work(viewOf(doc));
    work.parser().setTrustedInput(state.range(2) != 0);
    KelWriteBuffer out(ccsid, static_cast<long>(doc.size() * (ccsid == 1200 ? 2 : 1) + 4096));
    work.editFirstRecordAndWrite(out, ccsid);   // one round not timed: the output's pages faulted in
    for (auto _ : state) {
        out.clear();
        work.refresh();
        benchmark::DoNotOptimize(work.editFirstRecordAndWrite(out, ccsid));
    }
    setBytes(state, doc);
}

// The same message given back whole on the host's reuse path.
void BM_LargePassThrough(benchmark::State& state) {
    const std::string& doc = largeDocument(static_cast<std::size_t>(state.range(0)));
    LargeMessageWorkloads work(viewOf(doc));
    KelWriteBuffer out(1208, static_cast<long>(doc.size() + 4096));
    work.parser().setReuseBitStream(true);
    work.parser().refreshBitStreamFromElements(nullptr, &out, work.parser().rootElement(), 546, 1208);   // not timed
    for (auto _ : state) {
        out.clear();
        work.refresh();
        work.parser().setReuseBitStream(true);
        benchmark::DoNotOptimize(work.parser().refreshBitStreamFromElements(nullptr, &out, work.parser().rootElement(), 546, 1208));
    }
    setBytes(state, doc);
}

// ICU converting the whole input from UTF-8 to UTF-16LE.
void BM_LargeIcuConvert(benchmark::State& state) {
    const std::string& doc = largeDocument(static_cast<std::size_t>(state.range(0)));
    IcuConvertFloor::run(state, doc, "UTF-16LE", 4096);
    setBytes(state, doc);
}

// The scanner's progressive scan of the same bytes, doing nothing per event but reading the offset.
void BM_LargeScanFloor(benchmark::State& state) {
    const std::string& doc = largeDocument(static_cast<std::size_t>(state.range(0)));
    XercesScanFloor floor;
    for (auto _ : state)
        benchmark::DoNotOptimize(floor.scan(reinterpret_cast<const unsigned char*>(doc.data()), doc.size(), u"UTF-8"));
    setBytes(state, doc);
}

// P8: the check without a tree.
void BM_LargeCheck(benchmark::State& state) {
    const std::string& doc = largeDocument(static_cast<std::size_t>(state.range(0)));
    LargeMessageWorkloads work(viewOf(doc));
    for (auto _ : state) benchmark::DoNotOptimize(work.check());
    setBytes(state, doc);
}

// P9: every record written on its own and deleted.
void BM_LargeSplit(benchmark::State& state) {
    const std::string& doc = largeDocument(static_cast<std::size_t>(state.range(0)));
    LargeMessageWorkloads work(viewOf(doc));
    KelWriteBuffer out(1208, 1 << 16);
    for (auto _ : state) {
        work.refresh();
        benchmark::DoNotOptimize(work.split(out));
    }
    setBytes(state, doc);
}

} // namespace

BENCHMARK(BM_LargeFrontierEdit)
    ->Args({100, 1208, 1})
    ->Args({100, 1200, 1})
    ->Args({100, 1208, 0})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargePassThrough)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargeIcuConvert)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargeScanFloor)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargeCheck)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargeSplit)->Arg(100)->Unit(benchmark::kMillisecond);

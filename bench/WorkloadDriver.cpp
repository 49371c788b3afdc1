// quarn_workload: runs one workload once, for what a benchmark loop cannot measure (peak memory
// of a whole process, several threads) and for profilers (callgrind, heaptrack).
//
//   quarn_workload peak quarn|pugixml|xerces-dom MEGABYTES   peak memory of one fully parsed document
//   quarn_workload batch THREADS MESSAGES                    1 MB messages walked and written back
//   quarn_workload first-walk MEGABYTES                      a new parser's first walk against a reused one's
//   quarn_workload run floor|walk|first|edit|write37|write1200|pass MEGABYTES [utf16|ebcdic37]
//   quarn_workload small new|reused MESSAGES                 1 KB messages: parse, read a field, write back
//
// Output: one line of "key=value" pairs.
#include "bench/DocumentGenerator.hpp"
#include "bench/LargeMessageWorkloads.hpp"
#include "bench/QuarnWorkloads.hpp"
#include "bench/XercesScanFloor.hpp"

#include "host/KelBuffer.hpp"
#include "host/KelLog.hpp"
#include "host/KelWriteBuffer.hpp"

#include <pugixml.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kMB = 1024 * 1024;

KelBuffer viewOf(const std::string& bytes) {
    return KelBuffer(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<long>(bytes.size()));
}

// Resident set size now, from /proc (bytes).
long currentRss() {
    long pages = 0, resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * 4096;
}

long peakRss() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss * 1024L;
}

int peak(const std::string& who, std::size_t megabytes) {
    // The baseline is taken with the libraries loaded and initialised, before the document exists.
    xercesc::XMLPlatformUtils::Initialize();
    { QuarnWorkloads warm(KelBuffer(), 1208); }
    const long before = currentRss();
    const std::string doc = DocumentGenerator(7).utf8Document(megabytes * kMB);
    std::size_t elements = 0;
    if (who == "quarn") {
        QuarnWorkloads work(viewOf(doc), 1208);
        elements = work.fullWalk().elements;
    } else if (who == "pugixml") {
        pugi::xml_document d;
        d.load_buffer(doc.data(), doc.size());
        elements = d.document_element() ? 1 : 0;
    } else if (who == "xerces-dom") {
        xercesc::XercesDOMParser parser;
        parser.setDoNamespaces(false);
        xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(doc.data()), doc.size(), u"file:///", false);
        parser.parse(source);
        elements = parser.getDocument() ? 1 : 0;
    } else {
        std::fprintf(stderr, "unknown peer %s\n", who.c_str());
        return 2;
    }
    const long used = peakRss() - before;
    std::printf("who=%s input=%zu peak=%ld ratio=%.2f elements=%zu\n", who.c_str(), doc.size(), used,
                static_cast<double>(used) / static_cast<double>(doc.size()), elements);
    return 0;
}

// P1's first walk of a new parser against a walk of the same parser reused: the first also
// faults in its element memory, which the benchmark's timed walks find ready.
int firstWalk(std::size_t megabytes) {
    const std::string doc = DocumentGenerator(7).utf8Document(megabytes * kMB);
    const auto faults = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return usage.ru_minflt + usage.ru_majflt;
    };
    QuarnWorkloads work(viewOf(doc), 1208);
    double seconds[2];
    long pageFaults[2];
    for (int round = 0; round < 2; ++round) {
        if (round > 0) work.refresh();
        const long faultsBefore = faults();
        const auto start = std::chrono::steady_clock::now();
        work.fullWalk();
        seconds[round] = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        pageFaults[round] = faults() - faultsBefore;
    }
    std::printf("first=%.4f reused=%.4f first_faults=%ld reused_faults=%ld\n", seconds[0], seconds[1], pageFaults[0],
                pageFaults[1]);
    return 0;
}

// Every message: a new parser, a full walk and a write back in UTF-8 (the work a batch does).
int batch(int threads, int messages) {
    std::vector<std::string> docs;
    for (int i = 0; i < 8; ++i) docs.push_back(DocumentGenerator(100 + i).utf8Document(kMB));
    std::atomic<int> nextMessage{0};
    std::atomic<long> written{0};
    auto worker = [&] {
        KelWriteBuffer out(1208);
        for (int m = nextMessage++; m < messages; m = nextMessage++) {
            const std::string& doc = docs[static_cast<std::size_t>(m) % docs.size()];
            QuarnWorkloads work(viewOf(doc), 1208);
            work.fullWalk();
            out.clear();
            written += work.writeTree(out, 1208);
        }
    };
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) pool.emplace_back(worker);
    for (std::thread& t : pool) t.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("threads=%d messages=%d seconds=%.4f written=%ld\n", threads, messages, seconds, written.load());
    return 0;
}

int run(const std::string& what, std::size_t megabytes, const std::string& page) {
    const bool utf16 = page == "utf16";
    const bool ebcdic = page == "ebcdic37";
    if (!page.empty() && !utf16 && !ebcdic) {
        std::fprintf(stderr, "unknown page %s\n", page.c_str());
        return 2;
    }
    const std::string doc = DocumentGenerator(7).document(megabytes * kMB, utf16    ? DocumentGenerator::Encoding::Utf16Le
                                                                           : ebcdic ? DocumentGenerator::Encoding::Ebcdic37
                                                                                    : DocumentGenerator::Encoding::Utf8);
    QuarnWorkloads work(viewOf(doc), utf16 ? 1200 : ebcdic ? 37 : 1208);
    KelWriteBuffer out(1208, static_cast<long>(doc.size() * 2));
    long result = 0;
    if (what == "floor") {
        XercesScanFloor floor;
        result = static_cast<long>(floor.scan(reinterpret_cast<const unsigned char*>(doc.data()), doc.size(),
                                              utf16 ? u"UTF-16LE" : ebcdic ? u"IBM037" : u"UTF-8"));
    } else if (what == "walk") result = static_cast<long>(work.fullWalk().elements);
    else if (what == "first") result = work.firstChildOfDocumentElement() != nullptr;
    else if (what == "pass") result = work.passThrough(out);
    else if (what == "edit") result = work.editDeepAttributeAndWrite(DocumentGenerator::deepAttributeName(), "99", out);
    else if (what == "write37" || what == "write1200") {
        work.fullWalk();
        result = work.writeTree(out, what == "write37" ? 37 : 1200);
    } else {
        std::fprintf(stderr, "unknown workload %s\n", what.c_str());
        return 2;
    }
    std::printf("workload=%s result=%ld\n", what.c_str(), result);
    return 0;
}

// One small message as a broker handles it: parsed (by a new parser, or by `reused` handed the
// message), a field read, and the message written back unchanged.
long smallMessage(const KelBuffer& message, QuarnWorkloads* reused, KelWriteBuffer& out) {
    std::unique_ptr<QuarnWorkloads> fresh;
    QuarnWorkloads* work = reused;
    if (work != nullptr) {
        work->refresh();
    } else {
        fresh = std::make_unique<QuarnWorkloads>(message, 1208);
        work = fresh.get();
    }
    const std::size_t field = work->fieldLength({"batch", "order", "customer", "name"});
    out.clear();
    return work->passThrough(out) + static_cast<long>(field);
}

// The same, under a name of its own: bench/run has callgrind count this function alone
// (--toggle-collect), so the one-time set-up of the first message is left out.
__attribute__((noinline)) long countedSmallMessage(const KelBuffer& message, QuarnWorkloads* reused,
                                                   KelWriteBuffer& out) {
    return smallMessage(message, reused, out);
}

int small(const std::string& how, int messages) {
    if (how != "new" && how != "reused") {
        std::fprintf(stderr, "unknown parser use %s\n", how.c_str());
        return 2;
    }
    const std::string doc = DocumentGenerator(7).utf8Message(1000);
    const KelBuffer message = viewOf(doc);
    KelWriteBuffer out(1208, 1 << 16);
    std::unique_ptr<QuarnWorkloads> reused;
    if (how == "reused") reused = std::make_unique<QuarnWorkloads>(message, 1208);
    long result = smallMessage(message, reused.get(), out);   // the process's first message: not counted
    for (int m = 0; m < messages; ++m) result += countedSmallMessage(message, reused.get(), out);
    std::printf("workload=small parser=%s bytes=%zu messages=%d result=%ld\n", how.c_str(), doc.size(), messages,
                result);
    return 0;
}

// Memory of the large-message work, above the input (and, for the edit, the output): the edit
// of the first record written in `ccsid`, the check without a tree, the split into records.
int large(const std::string& what, std::size_t megabytes) {
    xercesc::XMLPlatformUtils::Initialize();
    { QuarnWorkloads warm(KelBuffer(), 1208); }
    const long before = currentRss();
    const std::string doc = DocumentGenerator(7).utf8Document(megabytes * kMB);
    LargeMessageWorkloads work(viewOf(doc));
    long result = 0, output = 0;
    std::size_t slots = 0;
    if (what == "edit1208" || what == "edit1200") {
        KelWriteBuffer out(1208);
        result = work.editFirstRecordAndWrite(out, what == "edit1208" ? 1208 : 1200);
        output = out.used();
    } else if (what == "check") {
        result = work.check();
    } else if (what == "split") {
        KelWriteBuffer out(1208, 1 << 16);
        result = work.split(out, &slots);
    } else {
        std::fprintf(stderr, "unknown workload %s\n", what.c_str());
        return 2;
    }
    const long above = peakRss() - before - static_cast<long>(doc.size()) - output;
    std::printf("workload=%s megabytes=%zu input=%zu output=%ld above=%ld result=%ld slots=%zu\n", what.c_str(),
                megabytes, doc.size(), output, above, result, slots);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    KelLog::setLevel(0);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "peak" && argc == 4) return peak(argv[2], std::strtoul(argv[3], nullptr, 10));
    if (mode == "batch" && argc == 4) return batch(std::atoi(argv[2]), std::atoi(argv[3]));
    if (mode == "first-walk" && argc >= 3) return firstWalk(std::strtoul(argv[2], nullptr, 10));
    if (mode == "run" && argc >= 4) return run(argv[2], std::strtoul(argv[3], nullptr, 10), argc > 4 ? argv[4] : "");
    if (mode == "small" && argc == 4) return small(argv[2], std::atoi(argv[3]));
    if (mode == "large" && argc == 4) return large(argv[2], std::strtoul(argv[3], nullptr, 10));
    std::fprintf(stderr,
                 "usage: quarn_workload peak quarn|pugixml|xerces-dom MB | batch THREADS MESSAGES |"
                 " first-walk MB | run floor|walk|first|pass|edit|write37|write1200 MB [utf16|ebcdic37] |"
                 " small new|reused MESSAGES |"
                 " large edit1208|edit1200|check|split MB\n");
    return 2;
}

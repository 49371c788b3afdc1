// Many parsers side by side: each thread parses, edits and writes messages in several code pages
// at once, and every output must equal the one the same job gives on a single thread. Run under
// ThreadSanitizer in CI (QUARN_TSAN).
#include "fuzz/TreeFuzzCase.hpp"
#include "tests/builder/BuilderTestDocument.hpp"

#include "host/KelLog.hpp"
#include "host/KelParserRegistry.hpp"
#include "host/KelStringBase.hpp"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

namespace {

struct Job {
    std::string bytes;
    int inCcsid;
    int outCcsid;
    int outEncoding;
};

// Parse in full, change one attribute and one text, write anew (spans reused for the rest).
std::string runJob(const Job& job) {
    KelMessageGroup group;
    XmlKelParser parser(&group, true);
    parser.initialize();
    parser.refreshElementsFromBitStream(nullptr, KelBuffer::fromString(job.bytes), 546, job.inCcsid);
    KelSyntaxElement* order = nullptr;
    for (KelSyntaxElement* c = parser.rootElement()->firstChild(); c; c = c->nextSibling())
        if (c->type() == XmlTypeElement) order = c;
    if (!order) return "no body";
    KelSyntaxElement* item = order->lastChild();
    item->firstChild()->setValue(ks("\xE2\x82\xAC 9 & <more>"));
    order->firstChild()->setValue(ks("z\xC3\xA9ro"));
    KelWriteBuffer out(job.outCcsid);
    parser.refreshBitStreamFromElements(nullptr, &out, parser.rootElement(), job.outEncoding, job.outCcsid);
    return out.toString();
}

// What a process builds at its first use, first used on many threads at once: the parser
// registry loading the plug-in, parsers of every domain made through it, code pages (single-byte
// tables, converters) read and written, the texts' keyed hash, and the trace turned on and off.
// Defined before the other tests of this suite, so that `--gtest_filter='Concurrency.*'` (the
// ThreadSanitizer run) gets here before anything is warm.
std::string firstUseJob(int thread, int inCcsid, int outCcsid, std::size_t& hashed) {
    KelParserRegistry& registry = KelParserRegistry::instance();
    registry.load(KelParserRegistry::locate("libquarnparse.so.0"));
    const char16_t* domains[] = {u"XML", u"JMSMap", u"JMSStream"};
    KelMessageGroup group;
    KelParser* parser = registry.createParser(KelStringBase(domains[thread % 3]), group, true);
    const std::string text = "<?xml version='1.0'?><m k='" + std::to_string(thread) +
                             "'><a>cafe &amp; <b c='1'/></a><!--n--><d>" + std::to_string(inCcsid) + "</d></m>";
    parser->refreshElementsFromBitStream(nullptr, KelBuffer::fromString(encodeAs(text, inCcsid)), 546, inCcsid);
    std::unordered_set<KelStringBase, KelStringBaseHash> names;
    KelSyntaxElement* m = parser->rootElement()->lastChild();
    for (KelSyntaxElement* c = m->firstChild(); c; c = c->nextSibling()) names.insert(c->name());
    hashed = names.size() + KelStringBaseHash{}(m->name()) % 1;
    m->firstChild()->setValue(ks("\xE2\x82\xAC"));
    KelWriteBuffer out(outCcsid);
    parser->refreshBitStreamFromElements(nullptr, &out, parser->rootElement(), 546, outCcsid);
    return out.toString();
}

TEST(Concurrency, FirstUseOnManyThreadsAtOnce) {
    // Two threads for each page, so that two first uses of one table meet.
    const int in[] = {37, 37, 1047, 1047, 943, 943, 850, 850};
    const int out[] = {1047, 850, 37, 1252, 1208, 1200, 500, 37};
    constexpr int kThreads = 8;
    std::atomic<int> waiting{kThreads};
    std::vector<std::string> written(kThreads);
    std::vector<std::size_t> hashed(kThreads);
    std::vector<std::string> failed(kThreads);
    const std::string trace = ::testing::TempDir() + "quarn-first-use.trace";
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            --waiting;
            while (waiting.load() > 0) std::this_thread::yield();
            if (t == 0) {
                KelLog::setFile(trace);
                KelLog::setLevel(4);
            }
            try {
                written[t] = firstUseJob(t, in[t], out[t], hashed[t]);
            } catch (const std::exception& e) {
                failed[t] = e.what();
            }
            if (t == 1) KelLog::setLevel(0);
        });
    for (std::thread& thread : threads) thread.join();
    KelLog::setLevel(0);
    KelLog::setFile("");
    std::remove(trace.c_str());
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(failed[t], "") << t;
        std::size_t again = 0;
        EXPECT_EQ(written[t], firstUseJob(t, in[t], out[t], again)) << t;
        EXPECT_EQ(hashed[t], again) << t;
    }
}

TEST(Concurrency, ParsersOnManyThreadsWriteWhatOneThreadWrites) {
    std::vector<Job> jobs;
    const int pages[] = {1208, 1200, 819, 37, 1252, 943, 500};
    for (int n = 0; n < 28; ++n) {
        std::string text = "<?xml version='1.0'?><order id='" + std::to_string(n) + "'>";
        for (int i = 0; i <= n; ++i) text += "<item n='" + std::to_string(i) + "' price='" + std::to_string(i * 3) + "'>widget</item>";
        text += "</order>";
        const int in = pages[n % 7] == 1200 ? 1208 : pages[n % 7];
        jobs.push_back({encodeAs(text, in), in, pages[(n + 3) % 7], n % 2 ? 546 : 273});
    }
    std::vector<std::string> expected;
    for (const Job& job : jobs) expected.push_back(runJob(job));
    for (const std::string& e : expected) ASSERT_GT(e.size(), 40u) << e;

    constexpr int kThreads = 6;
    constexpr int kRounds = 4;
    std::atomic<int> mismatches{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round)
                for (std::size_t k = 0; k < jobs.size(); ++k) {
                    const std::size_t j = (k * 5 + static_cast<std::size_t>(t) * 7 + round) % jobs.size();
                    try {
                        if (runJob(jobs[j]) != expected[j]) ++mismatches;
                    } catch (...) {
                        ++failures;
                    }
                }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(failures.load(), 0);
}

TEST(Concurrency, FuzzRoundsSideBySide) {
    // Rounds with random walks, edits, checks and writes in many pages, on four threads at once.
    const std::string doc = "<!DOCTYPE r [<!ENTITY e 'ent'><!ATTLIST i d CDATA 'def'>]><r a='1'>t&e;<i b='2'>x</i><![CDATA[<c>]]><?p d?></r>";
    std::atomic<int> faults{0};
    std::mutex lock;
    std::string first;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (unsigned seed = 0; seed < 60; ++seed) {
                std::string round = TreeFuzzCase::selectorsFor(1208, false, seed * 4 + static_cast<unsigned>(t));
                round[2] = static_cast<char>(seed % 14);
                round += doc;
                const std::string fault =
                    TreeFuzzCase::run(reinterpret_cast<const std::uint8_t*>(round.data()), round.size());
                if (fault.empty()) continue;
                ++faults;
                std::lock_guard<std::mutex> hold(lock);
                if (first.empty()) first = fault;
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(faults.load(), 0) << first;
}

} // namespace

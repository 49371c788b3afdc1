// Many parsers side by side: each thread parses, edits and writes messages in several code pages
// at once, and every output must equal the one the same job gives on a single thread. Run under
// ThreadSanitizer in CI (QUARN_TSAN).
#include "fuzz/TreeFuzzCase.hpp"
#include "tests/builder/BuilderTestDocument.hpp"

#include <atomic>
#include <mutex>
#include <thread>
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

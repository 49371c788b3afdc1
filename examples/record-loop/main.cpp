// Walking a large message record by record in flat memory: the file is mapped, checked whole
// without a tree, and each record is built as the walk reaches it and deleted when it moves on,
// so the next record is built in the same memory.
// Usage: record-loop FILE [PATH] (PATH names the records, by default every element under the
// document element: "*/*").
#include <quarn/quarn.hpp>
#include <quarn/host/KelParser.hpp>
#include <quarn/host/KelSyntaxElementPool.hpp>

#include <cstdio>
#include <exception>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: record-loop FILE [PATH]\n");
        return 2;
    }
    try {
        quarn::Document document = quarn::Document::open(argv[1]);
        long records = 0, attributes = 0;
        for (quarn::Node record : document.records(argc == 3 ? argv[2] : "*/*")) {
            ++records;   // ... use the record here: its attributes, its children ...
            attributes += static_cast<long>(record.select("@*").size());
        }
        const KelSyntaxElementPool& pool = document.parser().elementPool();
        std::printf("%ld records, %ld attributes; %zu elements alive at the end, %zu slots ever used\n", records,
                    attributes, pool.liveCount(), pool.slotsCarved());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}

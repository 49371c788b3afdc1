// LargeMessageWorkloads: the work on a large message whose cost should follow what is touched:
// an attribute set in the first record and the message written (the write stops at the scan
// frontier), the whole message checked without a tree, and the message split into its records
// in flat memory. Used by the benchmarks, the workload driver's memory runs and the benchmark
// tests. Owns its parser and message group; the bitstream must outlive it. One thread at a time.
#pragma once

#include "host/KelBuffer.hpp"
#include "host/KelMessageGroup.hpp"
#include "parser/XmlKelParser.hpp"

#include <cstddef>
#include <memory>

class KelWriteBuffer;

class LargeMessageWorkloads {
public:
    explicit LargeMessageWorkloads(const KelBuffer& bitStream);

    // A new bitstream for the parser: nothing built, nothing scanned.
    void refresh();
    XmlKelParser& parser() noexcept { return *iParser; }
    // Sets the first attribute of the document element's first child element and writes the
    // message into `out` in `ccsid` (encoding 546); returns the bytes written.
    long editFirstRecordAndWrite(KelWriteBuffer& out, int ccsid);
    // The tree-less check of the whole message; the elements a full parse would build.
    long check();
    // Every child element of the document element written into `out` (cleared for each, as a
    // file per record would be) and then deleted; returns the number of records. `slots`, if
    // given, receives the pool slots ever used.
    long split(KelWriteBuffer& out, std::size_t* slots = nullptr);

private:
    KelMessageGroup iGroup;
    std::unique_ptr<XmlKelParser> iParser;
    KelBuffer iBitStream;
};

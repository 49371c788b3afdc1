// QuarnWorkloads: the broker's work on one message as the benchmarks, the workload driver and
// the benchmark tests run it: a parser over a bitstream, a full walk, the first child of the
// document element, pass-through, a deep edit and writing in another code page.
// A QuarnWorkloads object owns its message group, parser and bitstream (shared, not copied);
// one thread at a time per object, any number of objects on different threads.
#pragma once

#include "host/KelBuffer.hpp"
#include "host/KelMessageGroup.hpp"
#include "parser/XmlKelParser.hpp"

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>

class KelSyntaxElement;
class KelWriteBuffer;

class QuarnWorkloads {
public:
    // What a walk saw; the benchmarks keep it alive so that nothing is optimised away.
    struct WalkResult {
        std::size_t elements = 0;
        std::size_t valueUnits = 0;  // code units of all values read
    };

    // A parser (span reuse on) over `bitStream`, which must outlive the object's use.
    QuarnWorkloads(const KelBuffer& bitStream, int ccsid, int encoding = 546);

    // Hands the parser the bitstream again: the tree so far is released, nothing is scanned.
    void refresh();
    XmlKelParser& parser() noexcept { return *iParser; }
    KelSyntaxElement* root();

    // Builds every element and reads every value, depth first.
    WalkResult fullWalk();
    // Code units of the text of the element at `path` (element names from the root down, each the
    // first child of that name), parsing no further than that needs; 0 when the path leads nowhere.
    std::size_t fieldLength(std::initializer_list<const char*> path);
    // The first child of the document element (scanning no further than that needs); null when
    // the document has none.
    KelSyntaxElement* firstChildOfDocumentElement();
    // The message given back unchanged on the host's reuse path.
    int passThrough(KelWriteBuffer& out);
    // Sets attribute `name` of the deepest element on the path of last children (the last
    // record's last item) to `value` and writes the message back in its own code page.
    int editDeepAttributeAndWrite(const char* name, const std::string& value, KelWriteBuffer& out);
    // Writes the (already walked) tree in `ccsid` and `encoding`, not on the reuse path.
    int writeTree(KelWriteBuffer& out, int ccsid, int encoding = 546);

    // The element that editDeepAttributeAndWrite changes (parsing on demand): the deepest last
    // element below the document element.
    KelSyntaxElement* deepestLastElement();

private:
    KelMessageGroup iGroup;
    std::unique_ptr<XmlKelParser> iParser;
    KelBuffer iBitStream;
    int iCcsid;
    int iEncoding;
};

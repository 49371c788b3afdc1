// SplitCommand: `quarn split FILE PATH OUTDIR`: writes every element that PATH names as a
// document of its own (OUTDIR/NAME-000001.xml, ...), copied from its original bytes where it can
// be and converted to --out-ccsid when asked, with an XML declaration naming the code page when
// the page is neither UTF-8 nor UTF-16. It walks the message record by record and deletes each
// record once written, so memory stays flat however long the message. The input is checked
// first without a tree (unless --no-check), so a broken message leaves no files.
// One object per run, on the main thread.
#pragma once

#include <string>

class QuarnOptions;

class SplitCommand {
public:
    explicit SplitCommand(const QuarnOptions& options) : iOptions(options) {}
    // Returns the number of documents written; raises what the parse or a write raises.
    long run();

private:
    const QuarnOptions& iOptions;
};

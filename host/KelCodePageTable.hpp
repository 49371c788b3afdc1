// KelCodePageTable: the code pages the host knows by ccsid, in one place: the ICU table each is
// read with and, where the generated one will not do, the name an XML declaration gives it. The
// converter, the encoding detector and the scanner's transcoders all read this table; a page is
// added here and nowhere else. The UTF-16 pages (KelConverter::isUtf16Ccsid) are not in it, and
// any other page ICU knows as "ibm-<ccsid>" is found without it.
// Constant data built at load; read from any thread.
#pragma once

#include <vector>

class KelCodePageTable {
public:
    struct Entry {
        int ccsid;
        // A canonical ICU name, so that no alias lookup can pick a different table.
        const char* icuName;
        // The declaration's name when the generated one (IBMnnn, windows-nnnn) is not one that
        // ICU, the scanner library and libxml2 all read as this page; null otherwise.
        const char* declarationName;
    };

    // Every entry, in the order a name is looked up: where two pages share a table, the first
    // is the one a name answers with (Shift_JIS is 943).
    static const std::vector<Entry>& entries() noexcept;
    // The entry of `ccsid`, or null when the table does not hold it.
    static const Entry* find(int ccsid) noexcept;
};

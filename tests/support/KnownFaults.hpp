// KnownFaults: the faults of issue 11 that this branch still has (they are mended on other
// branches), each entry tied to its item number, so that the independent-reader checks stay green
// here and say exactly what they tolerate. Once an item's fix is merged, delete its entries: the
// checks then hold those cases to the full comparison again. A fault the checks find that is not
// listed here is a new one. Constant data; any thread.
#pragma once

#include <string>
#include <vector>

struct KnownFault {
    int item;            // item number in issue 11
    std::string where;   // a conformance case id, or a fuzz category ("fuzz:...")
    std::string what;    // what goes wrong there
};

class KnownFaults {
public:
    static const std::vector<KnownFault>& all();
    // The item of the entry for `where`, or 0 when none.
    static int itemFor(const std::string& where);
    // Whether any entry of `item` is still listed.
    static bool isOpen(int item);
};

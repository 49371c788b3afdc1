#include "KnownFaults.hpp"

const std::vector<KnownFault>& KnownFaults::all() {
    // An entry goes here only while a fault found by these checks waits for its fix.
    static const std::vector<KnownFault> faults = {};
    return faults;
}

int KnownFaults::itemFor(const std::string& where) {
    for (const KnownFault& f : all())
        if (f.where == where) return f.item;
    return 0;
}

bool KnownFaults::isOpen(int item) {
    for (const KnownFault& f : all())
        if (f.item == item) return true;
    return false;
}

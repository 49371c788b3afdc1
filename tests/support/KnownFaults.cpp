#include "KnownFaults.hpp"

const std::vector<KnownFault>& KnownFaults::all() {
    static const std::vector<KnownFault> faults = {
        // Item 5: the declaration keeps naming the page it was read in. While listed, the readers
        // are told the output page instead of trusting the declaration, so that everything else
        // the output holds is still compared.
        // Item 2: attaching an element that is still attached elsewhere leaves it in its old place
        // too. While listed, moves detach the element first.
        {2, "fuzz:moves of attached elements", "the former parent is not marked changed"},
        {5, "fuzz:declaration names the old page", "the declaration is not rewritten for the output page"},
    };
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

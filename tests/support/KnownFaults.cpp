#include "KnownFaults.hpp"

const std::vector<KnownFault>& KnownFaults::all() {
    static const std::vector<KnownFault> faults = {
        // Item 5: the declaration keeps naming the page it was read in. While listed, the readers
        // are told the output page instead of trusting the declaration, so that everything else
        // the output holds is still compared.
        // Item 1: copy does not mark the element and its ancestors changed. While listed, the fuzz
        // rounds rename a copied element to its own name, which marks them.
        {1, "fuzz:copy", "the copied element's ancestors keep their spans"},
        // Item 2: attaching an element that is still attached elsewhere leaves it in its old place
        // too. While listed, moves detach the element first.
        {2, "fuzz:moves of attached elements", "the former parent is not marked changed"},
        {5, "fuzz:declaration names the old page", "the declaration is not rewritten for the output page"},
        // Item 4: a byte-order mark that contradicts the encoding value garbles the output.
        {4, "fuzz:mark contradicts the encoding", "spans are copied in the byte order of the encoding value"},
        // Item 8: a reference to an entity declared only where nothing is read is left out of the
        // tree, so it is lost where its element is written anew and kept where it is copied.
        {8, "fuzz:undeclared entity reference", "the reference is not kept in the tree"},
        {8, "rmt-e3e-13", "&ent2; (declared nowhere) is not in the tree"},
        // Item 6: shift bytes of stateful double-byte EBCDIC input land in the wrong spans.
        {6, "fuzz:stateful input page", "copied or converted stretches do not start and end in the single-byte state"},
        // Item 9: comments holding "--" or ending in "-", processing instructions holding "?>" or
        // named xml, and names that are not XML names are written as they are. While listed, the
        // fuzz rounds do not set such values, and a tree that is not XML may be written.
        {9, "fuzz:ill-formed names and values written", "the tree checks and the writer let them through"},
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

// XmlNameCache: the names a document repeats (element and attribute names), found by their text
// without hashing it, with their element-name hashes: naming an element then costs a short
// comparison and a pointer into its parser's name table. Entries are found by content, so a
// stale entry can never give a wrong name; they are forgotten when the table is cleared.
// Ownership: points into a name table it does not own. Thread rules: one tree builder, one thread.
#pragma once

#include "host/KelNameTable.hpp"
#include "host/KelStringBase.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

class XmlNameCache {
public:
    struct Entry {
        const KelStringBase* name = nullptr;   // in the table; null while the entry is empty
        std::uint32_t hash = 0;                // KelSyntaxElement::nameHash(*name)
    };

    // The entry holding the `length` units at `text`, its name kept in `table` (made on a miss,
    // replacing whatever name shared its slot). Valid until the next find.
    const Entry& find(const char16_t* text, std::size_t length, KelNameTable& table);
    void clear() noexcept;

private:
    static constexpr std::size_t kSlots = 256;   // a power of two; documents rarely use more names
    std::array<Entry, kSlots> iEntries;
    const KelNameTable* iTable = nullptr;
    unsigned long iGeneration = 0;
};

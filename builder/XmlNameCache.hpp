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
#include <cstring>

class XmlNameCache {
public:
    struct Entry {
        const KelStringBase* name = nullptr;   // in the table; null while the entry is empty
        std::uint32_t hash = 0;                // KelSyntaxElement::nameHash(*name)
        // The name's length and units, read without going through the string (an empty entry's
        // length matches no name).
        std::size_t length = kNoLength;
        const char16_t* units = nullptr;
    };

    // The entry holding the `length` units at `text`, its name kept in `table` (made on a miss,
    // replacing whatever name shared its slot). Valid until the next find. A name met before is
    // found inline, with a few comparisons; the rest goes out of line.
    const Entry& find(const char16_t* text, std::size_t length, KelNameTable& table) {
        if (&table == iTable && table.generation() == iGeneration) {
            const Entry& entry = iEntries[slotOf(text, length)];
            if (entry.length == length && sameUnits(entry.units, text, length)) return entry;
        }
        return findMissed(text, length, table);
    }
    void clear() noexcept;

private:
    static constexpr std::size_t kSlots = 256;   // a power of two; documents rarely use more names
    static constexpr std::size_t kNoLength = static_cast<std::size_t>(-1);   // no name is this long

    // Length and the first, middle and last unit tell most names apart and cost nothing to read.
    static std::size_t slotOf(const char16_t* text, std::size_t length) noexcept {
        std::size_t key = length * 31u;
        if (length > 0) key += text[0] * 7u + text[length - 1] * 131u + text[length / 2];
        return key & (kSlots - 1);
    }
    // Names are short: compared in place, four units at a time with the last four read as a
    // whole (overlapping what went before), rather than unit by unit or through a library call.
    static bool sameUnits(const char16_t* a, const char16_t* b, std::size_t length) noexcept {
        if (length >= 4) {
            for (std::size_t i = 0; i + 4 < length; i += 4)
                if (load8(a + i) != load8(b + i)) return false;
            return load8(a + length - 4) == load8(b + length - 4);
        }
        if (length >= 2) return load4(a) == load4(b) && load4(a + length - 2) == load4(b + length - 2);
        return length == 0 || a[0] == b[0];
    }
    static std::uint64_t load8(const char16_t* units) noexcept {
        std::uint64_t word;
        std::memcpy(&word, units, sizeof word);
        return word;
    }
    static std::uint32_t load4(const char16_t* units) noexcept {
        std::uint32_t word;
        std::memcpy(&word, units, sizeof word);
        return word;
    }
    const Entry& findMissed(const char16_t* text, std::size_t length, KelNameTable& table);

    std::array<Entry, kSlots> iEntries;
    const KelNameTable* iTable = nullptr;
    unsigned long iGeneration = 0;
};

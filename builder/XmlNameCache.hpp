// XmlNameCache: the names a document repeats (element and attribute names), kept ready-made with
// their element-name hashes, so that naming an element copies a string instead of building one
// and hashing it again. Entries are found by content, so a stale entry can never give a wrong name.
// Ownership: owns its strings (copies share their blocks). Thread rules: one tree builder, one thread.
#pragma once

#include "host/KelStringBase.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

class XmlNameCache {
public:
    struct Entry {
        KelStringBase name;
        std::uint32_t hash = 0;    // KelSyntaxElement::nameHash(name)
        bool filled = false;
    };

    // The entry holding the `length` units at `text` (made on a miss, replacing whatever name
    // shared its slot). Valid until the next find.
    const Entry& find(const char16_t* text, std::size_t length);
    void clear() noexcept;

private:
    static constexpr std::size_t kSlots = 256;   // a power of two; documents rarely use more names
    std::array<Entry, kSlots> iEntries;
};

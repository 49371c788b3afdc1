#include "builder/XmlNameCache.hpp"

#include "host/KelSyntaxElement.hpp"

#include <cstdint>
#include <cstring>

namespace {
// Names are short: compared in place, four units at a time, rather than through a library call.
bool sameUnits(const char16_t* a, const char16_t* b, std::size_t length) noexcept {
    std::size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        std::uint64_t x, y;
        std::memcpy(&x, a + i, sizeof x);
        std::memcpy(&y, b + i, sizeof y);
        if (x != y) return false;
    }
    for (; i < length; ++i)
        if (a[i] != b[i]) return false;
    return true;
}
} // namespace

const XmlNameCache::Entry& XmlNameCache::find(const char16_t* text, std::size_t length, KelNameTable& table) {
    if (&table != iTable || table.generation() != iGeneration) {
        // Another table, or this one cleared: every pointer held is void.
        clear();
        iTable = &table;
        iGeneration = table.generation();
    }
    // Length and the first, middle and last unit tell most names apart and cost nothing to read.
    std::size_t key = length * 31u;
    if (length > 0) key += text[0] * 7u + text[length - 1] * 131u + text[length / 2];
    Entry& entry = iEntries[key & (kSlots - 1)];
    if (entry.name != nullptr && entry.name->length() == length && sameUnits(entry.name->data(), text, length))
        return entry;
    entry.name = table.intern(KelStringBase(text, length));
    entry.hash = KelSyntaxElement::nameHash(*entry.name);
    return entry;
}

void XmlNameCache::clear() noexcept {
    for (Entry& entry : iEntries) entry = Entry();
}

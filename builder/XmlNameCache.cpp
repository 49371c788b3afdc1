#include "builder/XmlNameCache.hpp"

#include "host/KelSyntaxElement.hpp"

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
    if (entry.name != nullptr && entry.name->length() == length) {
        // Names are short: compared in place rather than through a library call.
        const char16_t* known = entry.name->data();
        std::size_t i = 0;
        while (i < length && known[i] == text[i]) ++i;
        if (i == length) return entry;
    }
    entry.name = table.intern(KelStringBase(text, length));
    entry.hash = KelSyntaxElement::nameHash(*entry.name);
    return entry;
}

void XmlNameCache::clear() noexcept {
    for (Entry& entry : iEntries) entry = Entry();
}

#include "builder/XmlNameCache.hpp"

#include "host/KelSyntaxElement.hpp"


const XmlNameCache::Entry& XmlNameCache::find(const char16_t* text, std::size_t length) {
    // Length and the first and last units tell most names apart and cost nothing to read.
    std::size_t key = length * 31u;
    if (length > 0) key += text[0] * 7u + text[length - 1] * 131u + text[length / 2];
    Entry& entry = iEntries[key & (kSlots - 1)];
    if (entry.filled && entry.name.length() == length) {
        // Names are short: compared in place rather than through a library call.
        const char16_t* known = entry.name.data();
        std::size_t i = 0;
        while (i < length && known[i] == text[i]) ++i;
        if (i == length) return entry;
    }
    entry.name = KelStringBase(text, length); // never written into: elements share its block
    entry.hash = KelSyntaxElement::nameHash(entry.name);
    entry.filled = true;
    return entry;
}

void XmlNameCache::clear() noexcept {
    for (Entry& entry : iEntries) {
        entry.name.clear();
        entry.filled = false;
    }
}

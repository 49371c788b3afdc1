#include "builder/XmlNameCache.hpp"

#include "host/KelSyntaxElement.hpp"

const XmlNameCache::Entry& XmlNameCache::findMissed(const char16_t* text, std::size_t length, KelNameTable& table) {
    if (&table != iTable || table.generation() != iGeneration) {
        // Another table, or this one cleared: every pointer held is void.
        clear();
        iTable = &table;
        iGeneration = table.generation();
    }
    Entry& entry = iEntries[slotOf(text, length)];
    if (entry.length == length && sameUnits(entry.units, text, length)) return entry;
    entry.name = table.intern(KelStringBase(text, length));
    entry.hash = KelSyntaxElement::nameHash(*entry.name);
    entry.length = entry.name->length();
    entry.units = entry.name->data();
    return entry;
}

void XmlNameCache::clear() noexcept {
    for (Entry& entry : iEntries) entry = Entry();
}

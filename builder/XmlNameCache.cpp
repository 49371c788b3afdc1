#include "builder/XmlNameCache.hpp"

const XmlNameCache::Entry& XmlNameCache::findMissed(const char16_t* text, std::size_t length, KelNameTable& table) {
    if (&table != iTable || table.generation() != iGeneration) {
        // Another table, or this one cleared: every pointer held is void.
        clear();
        iTable = &table;
        iGeneration = table.generation();
    }
    Entry& entry = iEntries[slotOf(text, length)];
    if (entry.length == length && KelStringBase::sameUnits(entry.units, text, length)) return entry;
    Entry made;   // what the last name in this slot learnt of its values is not this name's
    made.name = table.intern(KelStringBase(text, length));
    made.length = made.name->length();
    made.units = made.name->data();
    entry = made;
    return entry;
}

void XmlNameCache::clear() noexcept {
    for (Entry& entry : iEntries) entry = Entry();
}

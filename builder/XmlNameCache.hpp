// XmlNameCache: the names a document repeats (element and attribute names), found by their text
// without hashing it: naming an element then costs a short comparison and a pointer into its
// parser's name table, which keeps each name's hash with it. Entries are found by content, so a
// stale entry can never give a wrong name; they are forgotten when the table is cleared.
// A name can also be found by a key that stands for it for a whole document (the scanner's
// declaration of an element): then its text is neither asked for nor measured nor compared.
// Ownership: points into a name table it does not own. Thread rules: one tree builder, one thread.
#pragma once

#include "builder/XmlRepeatLearner.hpp"
#include "host/KelNameTable.hpp"
#include "host/KelStringBase.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

class XmlNameCache {
public:
    struct Entry {
        const KelStringBase* name = nullptr;   // in the table (with its hash); null while the entry is empty
        // The name's length and units, read without going through the string (an empty entry's
        // length matches no name).
        std::size_t length = kNoLength;
        const char16_t* units = nullptr;
        // Whether the values of an attribute of this name, or the texts of a leaf of this name,
        // repeat. (Mutable: the builder learns through the entry that find gives it.)
        mutable XmlRepeatLearner values;
    };

    // The entry holding the `length` units at `text`, its name kept in `table` (made on a miss,
    // replacing whatever name shared its slot). Valid until the next find. A name met before is
    // found inline, with a few comparisons; the rest goes out of line.
    const Entry& find(const char16_t* text, std::size_t length, KelNameTable& table) {
        if (&table == iTable && table.generation() == iGeneration) {
            const Entry& entry = iEntries[slotOf(text, length)];
            if (entry.length == length && KelStringBase::sameUnits(entry.units, text, length)) return entry;
        }
        return findMissed(text, length, table);
    }
    void clear() noexcept;

    // ---- Names found by key. A key names one name from the rememberKey() that gave it until
    // forgetKeys(), which the caller calls whenever that may no longer hold (a new document).
    static constexpr std::size_t kKeySlots = 64;   // a power of two
    struct Keyed {
        const void* key;
        const Entry* entry;
        const char16_t* units;   // the entry's units when it was remembered
        const char16_t* text;    // the name as the key's owner gave it
    };
    // Where `key` is remembered, if anywhere (for a find and a remember of the same key).
    static std::size_t keySlotOf(const void* key) noexcept {
        // Keys are objects of some size: the bits above their alignment tell them apart.
        const auto bits = reinterpret_cast<std::uintptr_t>(key);
        return ((bits >> 4) ^ (bits >> 10)) & (kKeySlots - 1);
    }
    // What rememberKey() kept for `key`, while its entry still holds that name in `table` (as
    // find() would give it); else null, and the caller finds the name by its text.
    const Keyed* findKeyed(std::size_t slot, const void* key, const KelNameTable& table) const noexcept {
        if (iKeyedFor[slot] != iKeys) return nullptr;   // nothing kept there for these keys: nothing else is read
        const Keyed& keyed = iKeyed[slot];
        if (keyed.key != key || &table != iTable || table.generation() != iGeneration) return nullptr;
        return keyed.entry->units == keyed.units ? &keyed : nullptr;
    }
    const Keyed* findKeyed(const void* key, const KelNameTable& table) const noexcept {
        return findKeyed(keySlotOf(key), key, table);
    }
    // `entry` (which find() has just given for `text`) is the name of `key`.
    void rememberKey(std::size_t slot, const void* key, const Entry& entry, const char16_t* text) noexcept {
        iKeyed[slot] = Keyed{key, &entry, entry.units, text};
        iKeyedFor[slot] = iKeys;
    }
    void rememberKey(const void* key, const Entry& entry, const char16_t* text) noexcept {
        rememberKey(keySlotOf(key), key, entry, text);
    }
    // Every key remembered so far is forgotten at once (a small message pays no more for it).
    void forgetKeys() noexcept {
        if (++iKeys != 0) return;
        iKeyedFor.fill(0);   // counted round: the oldest keys must not come back
        iKeys = 1;
    }

private:
    static constexpr std::size_t kSlots = 256;   // a power of two; documents rarely use more names
    static constexpr std::size_t kNoLength = static_cast<std::size_t>(-1);   // no name is this long

    // Length and the first, middle and last unit tell most names apart and cost nothing to read.
    static std::size_t slotOf(const char16_t* text, std::size_t length) noexcept {
        std::size_t key = length * 31u;
        if (length > 0) key += text[0] * 7u + text[length - 1] * 131u + text[length / 2];
        return key & (kSlots - 1);
    }
    const Entry& findMissed(const char16_t* text, std::size_t length, KelNameTable& table);

    std::array<Entry, kSlots> iEntries;
    // A slot of iKeyed holds something only when iKeyedFor says it was kept for the keys of now:
    // the slots themselves are never set up all at once (a new parser pays nothing for them).
    std::array<Keyed, kKeySlots> iKeyed;
    std::array<std::uint32_t, kKeySlots> iKeyedFor{};   // 0: never kept
    std::uint32_t iKeys = 1;                            // the keys remembered now
    const KelNameTable* iTable = nullptr;
    unsigned long iGeneration = 0;
};

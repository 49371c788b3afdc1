// KelNameTable: the names of a parser's elements, each kept once. An element that holds no value
// points at its name's head cell here, and a value's cell points at the name, instead of a string
// of their own, so a tree of millions of elements with a few dozen distinct names stores each name
// once. Each name is kept with its element-name hash, so an element needs no field of its own for
// it.
// Ownership: owned by its parser, declared before the element pool so that it outlives every
// element pointing into it; a name's address stays valid until clear(). Thread rules: one parser,
// one thread at a time; the shared table (for elements without a parser) locks itself.
#pragma once

#include "host/KelStringBase.hpp"
#include "host/KelValueCells.hpp"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <mutex>
#include <type_traits>
#include <unordered_set>

class KelNameTable {
public:
    // The empty name, shared by every element that has none.
    static const KelStringBase& empty() noexcept { return kEmpty.text; }
    // The element-name hash of `name`: any text.
    static std::uint32_t hashOf(const KelStringBase& name) noexcept;
    // The hash kept with `interned`, which must be a name intern() gave (or empty()): its
    // hashOf, read instead of computed.
    static std::uint32_t storedHash(const KelStringBase& interned) noexcept {
        return reinterpret_cast<const Name*>(&interned)->hash;
    }
    // The head cell of `interned` (a name intern() gave, or empty()): what an element named so
    // points at while it holds no value.
    static KelValueCells::Cell* headOf(const KelStringBase& interned) noexcept {
        return &reinterpret_cast<const Name*>(&interned)->head;
    }
    // The table for elements that belong to no parser: never cleared.
    static KelNameTable& shared();

    KelNameTable() = default;
    KelNameTable(const KelNameTable&) = delete;
    KelNameTable& operator=(const KelNameTable&) = delete;

    // The table's copy of `name` (made on first use).
    const KelStringBase* intern(const KelStringBase& name);
    std::size_t size() const noexcept { return iNames.size(); }
    // Forgets every name; only while no element points into the table.
    void clear() noexcept {
        iNames.clear();
        ++iGeneration;
    }
    // Bumped by clear(): a cache of pointers into the table is stale when it differs.
    unsigned long generation() const noexcept { return iGeneration; }
    // Names compared by look-ups on this thread so far (a measure of the table's work).
    static std::size_t namesCompared() noexcept;
    // Clears the table once it holds more than `limit` names (called when its parser's elements
    // are all released, so that names set message after message cannot pile up).
    void trim(std::size_t limit) noexcept;
    // Forgets every name `inUse` answers false for; the others stay where they are. For a table
    // some of whose elements outlive a release (they stand in another parser's tree), which
    // clear() may not forget. Raises nothing; bumps the generation when it forgets any.
    template <class InUse>
    void keepOnly(InUse inUse) noexcept {
        const std::size_t before = iNames.size();
        for (auto it = iNames.begin(); it != iNames.end();) it = inUse(&it->text) ? std::next(it) : iNames.erase(it);
        if (iNames.size() != before) ++iGeneration;
    }

private:
    // A name, its hash and its head cell. The text comes first, so a pointer to the text is one
    // to the Name. The head names the text it stands beside, wherever the Name is copied to, and
    // keeps the hash too (in its holder count, which a head has no use for), so that an element
    // that holds its head finds the hash without going to the name.
    struct Name {
        KelStringBase text;
        std::uint32_t hash = 0;
        mutable KelValueCells::Cell head;
        constexpr Name() noexcept : head(&text, 0, KelValueCells::kNameHead) {}
        Name(const KelStringBase& t, std::uint32_t h) : text(t), hash(h), head(&text, h, KelValueCells::kNameHead) {}
        Name(const Name& other) : Name(other.text, other.hash) {}
        Name& operator=(const Name&) = delete;
    };
    static_assert(std::is_standard_layout<KelStringBase>::value, "the text must stand where its Name does");
    // The table's buckets go by a keyed hash of the text, not by the element-name hash kept with
    // it: that one is fixed and weak (names such as n1 to n400000 share a few thousand values, and
    // a message can give every name the same one), which made each new name compare with all
    // before it.
    struct NameHash {
        std::size_t operator()(const Name& n) const noexcept { return KelStringBaseHash::of(n.text.data(), n.text.length()); }
    };
    struct SameName {
        bool operator()(const Name& a, const Name& b) const noexcept;
    };
    // Built at compile time (its constructor is constexpr), so that elements built before any
    // constructor of static storage runs already see an empty name.
    static const Name kEmpty;

    explicit KelNameTable(std::mutex* lock) : iLock(lock) {}

    std::unordered_set<Name, NameHash, SameName> iNames;
    unsigned long iGeneration = 0;
    std::mutex* iLock = nullptr;   // set for the shared table only
};

// KelStringBase: inline storage for short texts, shared copy-on-write heap blocks for long ones.
#include "host/KelStringBase.hpp"

#include "host/KelUtf8.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <random>
#include <stdexcept>

namespace {
constexpr std::size_t kUnitSize = sizeof(char16_t);
// Capacity and length live in 32-bit fields; keep clear of the top so that length + 1 and the
// 3/2 growth step never wrap.
constexpr std::size_t kMaxLength = 0x7FFFFFF0u;

inline void copyUnits(char16_t* to, const char16_t* from, std::size_t count) noexcept {
    if (count != 0) std::memcpy(to, from, count * kUnitSize);
}
inline void moveUnits(char16_t* to, const char16_t* from, std::size_t count) noexcept {
    if (count != 0) std::memmove(to, from, count * kUnitSize);
}
[[noreturn]] void tooLong() { throw std::length_error("KelStringBase: text too long"); }
} // namespace

static_assert(sizeof(std::atomic<std::uint32_t>) == 4, "the block count must be a 32-bit word");
static_assert(sizeof(char16_t) == 2, "code units are 16 bits");
static_assert(sizeof(KelStringBase) == 40, "the inline units and the length word share one 40-byte store");

// ---- block management ---------------------------------------------------------------------

KelStringBase::Block* KelStringBase::allocateBlock(std::size_t capacity) {
    static_assert(sizeof(Block) == 12, "block header is count, capacity and length");
    if (capacity > kMaxLength) tooLong();
    void* raw = ::operator new(sizeof(Block) + (capacity + 1) * kUnitSize);
    Block* block = new (raw) Block(static_cast<std::uint32_t>(capacity));
    block->units()[0] = 0;
    return block;
}

void KelStringBase::releaseBlock(Block* block) noexcept {
    // The last owner frees the block; acq_rel makes every earlier owner's reads happen before it.
    if (block->iCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        block->~Block();
        ::operator delete(static_cast<void*>(block));
    }
}

std::size_t KelStringBase::grownCapacity(std::size_t needed, std::size_t from) {
    if (needed > kMaxLength) tooLong();
    std::size_t capacity = from < kFirstHeapCapacity ? kFirstHeapCapacity : from;
    while (capacity < needed) capacity = capacity * 3 / 2;
    return capacity > kMaxLength ? needed : capacity;
}

bool KelStringBase::isShared() const noexcept {
    return !isInline() && iStore.iBlock->iCount.load(std::memory_order_acquire) != 1;
}

void KelStringBase::release() noexcept {
    if (!isInline()) releaseBlock(iStore.iBlock);
    iInlineLength = 0;
    iStore.iInline[0] = 0;
}

// Fills an object that holds no block. Goes to the heap when the text or the requested
// capacity does not fit inline.
void KelStringBase::setContents(const char16_t* text, std::size_t length, std::size_t minCapacity) {
    if (length <= kInlineCapacity && minCapacity <= kInlineCapacity) {
        copyUnits(iStore.iInline, text, length);
        iStore.iInline[length] = 0;
        iInlineLength = static_cast<std::uint16_t>(length);
        return;
    }
    Block* block = allocateBlock(grownCapacity(std::max(length, minCapacity), kFirstHeapCapacity));
    copyUnits(block->units(), text, length);
    block->units()[length] = 0;
    block->iLength = static_cast<std::uint32_t>(length);
    iStore.iBlock = block;
    iInlineLength = kHeapMarker;
}

// Makes the text writable by this object alone with room for minCapacity units. A heap text stays
// on the heap (it may have been reserved on purpose); an inline one moves out only when needed.
void KelStringBase::makePrivate(std::size_t minCapacity) {
    if (isInline()) {
        if (minCapacity <= kInlineCapacity) return;
        Block* block = allocateBlock(grownCapacity(minCapacity, kFirstHeapCapacity));
        copyUnits(block->units(), iStore.iInline, iInlineLength);
        block->units()[iInlineLength] = 0;
        block->iLength = iInlineLength;
        iStore.iBlock = block;
        iInlineLength = kHeapMarker;
        return;
    }
    Block* old = iStore.iBlock;
    const bool shared = old->iCount.load(std::memory_order_acquire) != 1;
    if (!shared && old->iCapacity >= minCapacity) return;
    const std::size_t length = old->iLength;
    Block* block = allocateBlock(
        grownCapacity(std::max(minCapacity, length), shared ? kFirstHeapCapacity : old->iCapacity));
    copyUnits(block->units(), old->units(), length);
    block->units()[length] = 0;
    block->iLength = static_cast<std::uint32_t>(length);
    iStore.iBlock = block;
    releaseBlock(old);
}

// Cuts the text to newLength (not more than the current length). A heap text of 18 units or
// fewer moves back inline.
void KelStringBase::setLengthAfterShrink(std::size_t newLength) {
    if (isInline()) {
        iStore.iInline[newLength] = 0;
        iInlineLength = static_cast<std::uint16_t>(newLength);
        return;
    }
    Block* old = iStore.iBlock;
    if (newLength <= kInlineCapacity) {
        // The inline units overlay the block pointer, which is saved in `old`.
        copyUnits(iStore.iInline, old->units(), newLength);
        iStore.iInline[newLength] = 0;
        iInlineLength = static_cast<std::uint16_t>(newLength);
        releaseBlock(old);
        return;
    }
    if (old->iCount.load(std::memory_order_acquire) != 1) {
        Block* block = allocateBlock(grownCapacity(newLength, kFirstHeapCapacity));
        copyUnits(block->units(), old->units(), newLength);
        block->units()[newLength] = 0;
        block->iLength = static_cast<std::uint32_t>(newLength);
        iStore.iBlock = block;
        releaseBlock(old);
        return;
    }
    old->units()[newLength] = 0;
    old->iLength = static_cast<std::uint32_t>(newLength);
}

// ---- construction, copying, destruction ---------------------------------------------------

KelStringBase::KelStringBase(const char16_t* text) : iInlineLength(0) {
    iStore.iInline[0] = 0;
    if (text != nullptr) setContents(text, std::char_traits<char16_t>::length(text), 0);
}

KelStringBase::KelStringBase(std::u16string_view text) : KelStringBase(text.data(), text.size()) {}

KelStringBase::KelStringBase(const KelStringBase& other) noexcept : iInlineLength(other.iInlineLength) {
    if (other.isInline()) {
        copyUnits(iStore.iInline, other.iStore.iInline, other.iInlineLength + 1u);
    } else {
        iStore.iBlock = other.iStore.iBlock;
        iStore.iBlock->iCount.fetch_add(1, std::memory_order_relaxed);
    }
}

KelStringBase::KelStringBase(KelStringBase&& other) noexcept : iInlineLength(other.iInlineLength) {
    std::memcpy(&iStore, &other.iStore, sizeof(Store));
    other.iInlineLength = 0;
    other.iStore.iInline[0] = 0;
}

KelStringBase& KelStringBase::operator=(const KelStringBase& other) noexcept {
    if (this == &other) return *this;
    if (other.isInline()) {
        release();
        // The whole inline store at once: a fixed-size copy is a few moves, not a library call.
        std::memcpy(&iStore, &other.iStore, sizeof(Store));
        iInlineLength = other.iInlineLength;
    } else {
        // Count the new share first: other may share our own block.
        Block* block = other.iStore.iBlock;
        block->iCount.fetch_add(1, std::memory_order_relaxed);
        release();
        iStore.iBlock = block;
        iInlineLength = kHeapMarker;
    }
    return *this;
}

KelStringBase& KelStringBase::operator=(KelStringBase&& other) noexcept {
    if (this == &other) return *this;
    release();
    std::memcpy(&iStore, &other.iStore, sizeof(Store));
    iInlineLength = other.iInlineLength;
    other.iInlineLength = 0;
    other.iStore.iInline[0] = 0;
    return *this;
}

// ---- changes ------------------------------------------------------------------------------

std::size_t KelStringBase::capacity() const noexcept {
    return isInline() ? kInlineCapacity : iStore.iBlock->iCapacity;
}

std::uint32_t KelStringBase::referenceCount() const noexcept {
    return isInline() ? 0 : iStore.iBlock->iCount.load(std::memory_order_acquire);
}

char16_t* KelStringBase::mutableData() {
    makePrivate(length());
    return isInline() ? iStore.iInline : iStore.iBlock->units();
}

void KelStringBase::clear() noexcept { release(); }

void KelStringBase::assign(const char16_t* text, std::size_t length) {
    if (length == 0) {
        // An emptied reserved buffer keeps its block; anything else goes back to empty inline.
        if (!isInline() && !isShared() && heapLength() == 0) return;
        release();
        return;
    }
    if (isInline()) {
        if (length <= kInlineCapacity) {
            moveUnits(iStore.iInline, text, length);   // text may lie in our own units
            iStore.iInline[length] = 0;
            iInlineLength = static_cast<std::uint16_t>(length);
        } else {
            setContents(text, length, 0);  // our inline units are not overwritten before the copy
        }
        return;
    }
    Block* old = iStore.iBlock;
    const bool shared = old->iCount.load(std::memory_order_acquire) != 1;
    const bool shrinksToInline = length <= kInlineCapacity && length < old->iLength;
    if (!shared && !shrinksToInline && length <= old->iCapacity) {
        moveUnits(old->units(), text, length);
        old->units()[length] = 0;
        old->iLength = static_cast<std::uint32_t>(length);
        return;
    }
    // The text may lie in the old block: copy it out before letting the block go.
    if (length <= kInlineCapacity) {
        copyUnits(iStore.iInline, text, length);
        iStore.iInline[length] = 0;
        iInlineLength = static_cast<std::uint16_t>(length);
    } else {
        Block* block = allocateBlock(grownCapacity(length, kFirstHeapCapacity));
        copyUnits(block->units(), text, length);
        block->units()[length] = 0;
        block->iLength = static_cast<std::uint32_t>(length);
        iStore.iBlock = block;
    }
    releaseBlock(old);
}

KelStringBase& KelStringBase::append(const char16_t* text, std::size_t length) {
    if (length == 0) return *this;
    if (isInline()) {
        const std::size_t old = iInlineLength;
        const std::size_t total = old + length;
        if (total <= kInlineCapacity) {
            moveUnits(iStore.iInline + old, text, length);
            iStore.iInline[total] = 0;
            iInlineLength = static_cast<std::uint16_t>(total);
            return *this;
        }
        Block* block = allocateBlock(grownCapacity(total, kFirstHeapCapacity));
        copyUnits(block->units(), iStore.iInline, old);
        copyUnits(block->units() + old, text, length);   // text may be our inline units
        block->units()[total] = 0;
        block->iLength = static_cast<std::uint32_t>(total);
        iStore.iBlock = block;
        iInlineLength = kHeapMarker;
        return *this;
    }
    Block* old = iStore.iBlock;
    const std::size_t oldLength = old->iLength;
    if (length > kMaxLength - oldLength) tooLong();
    const std::size_t total = oldLength + length;
    const bool shared = old->iCount.load(std::memory_order_acquire) != 1;
    if (!shared && total <= old->iCapacity) {
        moveUnits(old->units() + oldLength, text, length);
        old->units()[total] = 0;
        old->iLength = static_cast<std::uint32_t>(total);
        return *this;
    }
    // New storage; text may lie in the old block, which stays alive until both copies are done.
    if (shared && total <= kInlineCapacity) {
        copyUnits(iStore.iInline, old->units(), oldLength);
        copyUnits(iStore.iInline + oldLength, text, length);
        iStore.iInline[total] = 0;
        iInlineLength = static_cast<std::uint16_t>(total);
    } else {
        Block* block = allocateBlock(grownCapacity(total, shared ? kFirstHeapCapacity : old->iCapacity));
        copyUnits(block->units(), old->units(), oldLength);
        copyUnits(block->units() + oldLength, text, length);
        block->units()[total] = 0;
        block->iLength = static_cast<std::uint32_t>(total);
        iStore.iBlock = block;
    }
    releaseBlock(old);
    return *this;
}

char16_t* KelStringBase::resizeForOverwrite(std::size_t length) {
    const std::size_t old = this->length();
    if (length < old) {
        setLengthAfterShrink(length);
        return isInline() ? iStore.iInline : iStore.iBlock->units();
    }
    makePrivate(length);
    if (isInline()) {
        iStore.iInline[length] = 0;
        iInlineLength = static_cast<std::uint16_t>(length);
        return iStore.iInline;
    }
    Block* block = iStore.iBlock;
    block->units()[length] = 0;
    block->iLength = static_cast<std::uint32_t>(length);
    return block->units();
}

void KelStringBase::resize(std::size_t length, char16_t fill) {
    const std::size_t old = this->length();
    if (length <= old) {
        if (length < old) setLengthAfterShrink(length);
        return;
    }
    char16_t* units = resizeForOverwrite(length);
    std::fill(units + old, units + length, fill);
}

void KelStringBase::erase(std::size_t position, std::size_t count) {
    const std::size_t length = this->length();
    if (position >= length || count == 0) return;
    count = std::min(count, length - position);
    const std::size_t newLength = length - count;
    const std::size_t tail = length - position - count;
    if (isInline() || (!isShared() && newLength > kInlineCapacity)) {
        char16_t* units = isInline() ? iStore.iInline : iStore.iBlock->units();
        moveUnits(units + position, units + position + count, tail);
        setLengthAfterShrink(newLength);
        return;
    }
    // Shared, or moving back inline: build the result from the old block, then release it.
    Block* old = iStore.iBlock;
    const char16_t* from = old->units();
    if (newLength <= kInlineCapacity) {
        copyUnits(iStore.iInline, from, position);
        copyUnits(iStore.iInline + position, from + position + count, tail);
        iStore.iInline[newLength] = 0;
        iInlineLength = static_cast<std::uint16_t>(newLength);
    } else {
        Block* block = allocateBlock(grownCapacity(newLength, kFirstHeapCapacity));
        copyUnits(block->units(), from, position);
        copyUnits(block->units() + position, from + position + count, tail);
        block->units()[newLength] = 0;
        block->iLength = static_cast<std::uint32_t>(newLength);
        iStore.iBlock = block;
    }
    releaseBlock(old);
}

void KelStringBase::reserve(std::size_t capacity) { makePrivate(std::max(capacity, length())); }

void KelStringBase::clearAndReserve(std::size_t capacity) {
    if (!isInline() && !isShared() && iStore.iBlock->iCapacity >= capacity) {
        iStore.iBlock->iLength = 0;
        iStore.iBlock->units()[0] = 0;
        return;
    }
    Block* block = allocateBlock(grownCapacity(capacity, kFirstHeapCapacity));
    release();
    iStore.iBlock = block;
    iInlineLength = kHeapMarker;
}

// ---- queries ------------------------------------------------------------------------------

KelStringBase KelStringBase::substr(std::size_t position, std::size_t count) const {
    const std::size_t length = this->length();
    if (position >= length) return KelStringBase();
    return KelStringBase(data() + position, std::min(count, length - position));
}

std::size_t KelStringBase::find(char16_t unit, std::size_t from) const noexcept {
    return view().find(unit, from);
}

std::size_t KelStringBase::find(const KelStringBase& text, std::size_t from) const noexcept {
    return view().find(text.view(), from);
}

bool KelStringBase::startsWith(const KelStringBase& prefix) const noexcept {
    const std::size_t n = prefix.length();
    return n <= length() && std::char_traits<char16_t>::compare(data(), prefix.data(), n) == 0;
}

int KelStringBase::compare(const KelStringBase& other) const noexcept {
    const int result = view().compare(other.view());
    return result < 0 ? -1 : (result > 0 ? 1 : 0);
}

bool KelStringBase::equals(const char* ascii) const noexcept {
    const std::size_t length = this->length();
    const char16_t* units = data();
    std::size_t i = 0;
    if (ascii != nullptr) {
        for (; ascii[i] != '\0'; ++i) {
            if (i >= length || units[i] != static_cast<unsigned char>(ascii[i])) return false;
        }
    }
    return i == length;
}

// ---- UTF-8 --------------------------------------------------------------------------------

KelStringBase KelStringBase::fromAscii(const char* text) {
    KelStringBase result;
    if (text == nullptr) return result;
    const std::size_t length = std::strlen(text);
    char16_t* out = result.resizeForOverwrite(length);
    for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<unsigned char>(text[i]);
    return result;
}

KelStringBase KelStringBase::fromUtf8(std::string_view utf8) {
    // Never more UTF-16 units than UTF-8 bytes, so one allocation does.
    KelStringBase result;
    const std::size_t size = utf8.size();
    const auto* in = reinterpret_cast<const unsigned char*>(utf8.data());
    char16_t* const begin = result.resizeForOverwrite(size);
    char16_t* out = begin;
    std::size_t i = 0;
    while (i < size) {
        const unsigned char lead = in[i];
        if (lead < 0x80) {
            *out++ = lead;
            ++i;
            continue;
        }
        // Each maximal ill-formed subsequence becomes one U+FFFD; the byte that broke the
        // sequence is examined afresh.
        std::uint32_t code = 0;
        const int n = kelReadUtf8(in + i, in + size, code);
        if (n < 0) {
            *out++ = 0xFFFD;
            i += static_cast<std::size_t>(-n);
        } else {
            out = kelPutUtf16(out, code);
            i += static_cast<std::size_t>(n);
        }
    }
    result.resize(static_cast<std::size_t>(out - begin));
    return result;
}

KelStringBase KelStringBase::fromValidUtf8(std::string_view utf8) {
    const auto* in = reinterpret_cast<const unsigned char*>(utf8.data());
    for (std::size_t i = 0; i < utf8.size();) {
        std::uint32_t code = 0;
        const int n = in[i] < 0x80 ? 1 : kelReadUtf8(in + i, in + utf8.size(), code);
        if (n < 0) {
            char where[64];
            std::snprintf(where, sizeof where, "byte 0x%02X at offset %zu", static_cast<unsigned>(in[i]), i);
            throw std::invalid_argument(std::string("the text is not UTF-8: ") + where);
        }
        i += static_cast<std::size_t>(n);
    }
    return fromUtf8(utf8);
}

std::string KelStringBase::toUtf8() const {
    // At most three bytes per unit (a pair of units makes four).
    const std::size_t length = this->length();
    const char16_t* units = data();
    std::string result(length * 3, '\0');
    auto* out = reinterpret_cast<unsigned char*>(&result[0]);
    auto* const begin = out;
    for (std::size_t i = 0; i < length; ++i) {
        std::uint32_t code = units[i];
        if (code < 0x80) {
            *out++ = static_cast<unsigned char>(code);
            continue;
        }
        if (code >= 0xD800 && code <= 0xDFFF) {
            if (code <= 0xDBFF && i + 1 < length && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
                code = 0x10000 + ((code - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
                ++i;
            } else {
                code = 0xFFFD;   // unpaired surrogate
            }
        }
        if (code < 0x800) {
            *out++ = static_cast<unsigned char>(0xC0 | (code >> 6));
            *out++ = static_cast<unsigned char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            *out++ = static_cast<unsigned char>(0xE0 | (code >> 12));
            *out++ = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
            *out++ = static_cast<unsigned char>(0x80 | (code & 0x3F));
        } else {
            *out++ = static_cast<unsigned char>(0xF0 | (code >> 18));
            *out++ = static_cast<unsigned char>(0x80 | ((code >> 12) & 0x3F));
            *out++ = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
            *out++ = static_cast<unsigned char>(0x80 | (code & 0x3F));
        }
    }
    result.resize(static_cast<std::size_t>(out - begin));
    return result;
}

// ---- free operators -----------------------------------------------------------------------

bool operator==(const KelStringBase& a, const KelStringBase& b) noexcept {
    const std::size_t length = a.length();
    if (length != b.length()) return false;
    const char16_t* x = a.data();
    const char16_t* y = b.data();
    return x == y || std::memcmp(x, y, length * sizeof(char16_t)) == 0;
}

KelStringBase operator+(const KelStringBase& a, const KelStringBase& b) {
    KelStringBase result;
    const std::size_t total = a.length() + b.length();
    if (total > KelStringBase::kInlineCapacity) result.reserve(total);
    result.append(a);
    result.append(b);
    return result;
}

namespace {
// The key of the table hash: drawn once per process, so that nobody who sends a message can know
// which names share a bucket and fill one bucket with every name of a message.
struct TableHashKey {
    std::uint64_t k0, k1;
    TableHashKey() noexcept {
        std::uint64_t seed[2] = {0x736f6d6570736575ull ^ reinterpret_cast<std::uintptr_t>(this),
                                 0x646f72616e646f6dull ^ static_cast<std::uint64_t>(
                                     std::chrono::steady_clock::now().time_since_epoch().count())};
        try {
            std::random_device device;
            for (std::uint64_t& s : seed) s ^= (static_cast<std::uint64_t>(device()) << 32) ^ device();
        } catch (...) {
            // No source of entropy: the address and the clock still vary from run to run.
        }
        k0 = seed[0];
        k1 = seed[1];
    }
};

inline std::uint64_t rotl(std::uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

inline void sipRound(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2, std::uint64_t& v3) noexcept {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
}
} // namespace

std::size_t KelStringBaseHash::operator()(const KelStringBase& s) const noexcept { return of(s.data(), s.length()); }

std::size_t KelStringBaseHash::of(const char16_t* units, std::size_t length) noexcept {
    // Over the code units in the byte order of the machine.
    return ofBytes(units, length * kUnitSize);
}

std::size_t KelStringBaseHash::ofBytes(const void* data, std::size_t n) noexcept {
    // SipHash-1-3, keyed per process: a hash an attacker cannot aim at, where a fixed one (FNV,
    // the element-name hash) lets a message of names that share a bucket make every look-up walk
    // all of them.
    static const TableHashKey key;
    std::uint64_t v0 = 0x736f6d6570736575ull ^ key.k0, v1 = 0x646f72616e646f6dull ^ key.k1;
    std::uint64_t v2 = 0x6c7967656e657261ull ^ key.k0, v3 = 0x7465646279746573ull ^ key.k1;
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t m;
        std::memcpy(&m, bytes + i, 8);
        v3 ^= m;
        sipRound(v0, v1, v2, v3);
        v0 ^= m;
    }
    std::uint64_t last = static_cast<std::uint64_t>(n & 0xFF) << 56;
    for (std::size_t k = 0; i + k < n; ++k) last |= static_cast<std::uint64_t>(bytes[i + k]) << (8 * k);
    v3 ^= last;
    sipRound(v0, v1, v2, v3);
    v0 ^= last;
    v2 ^= 0xFF;
    sipRound(v0, v1, v2, v3);
    sipRound(v0, v1, v2, v3);
    sipRound(v0, v1, v2, v3);
    return static_cast<std::size_t>(v0 ^ v1 ^ v2 ^ v3);
}

// KelStringBase: the host's UTF-16 string, the string type of every interface.
// Up to 18 code units live inline; longer texts live in a reference-counted heap block that
// copies share (atomic counts) until one of them writes (copy-on-write). A text that shrinks
// to 18 code units or fewer moves back inline. Thread rules: one object is used by one thread
// at a time; distinct objects sharing a block may be used (and destroyed) on different threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

class alignas(8) KelStringBase {
public:
    using CodeUnit = char16_t;
    static constexpr std::size_t kInlineCapacity = 18;   // code units held without a heap block
    static constexpr std::size_t kFirstHeapCapacity = 37; // first heap capacity; grows by 3/2
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    constexpr KelStringBase() noexcept : iStore{}, iInlineLength(0) {}
    KelStringBase(const char16_t* text);                  // zero-terminated; null gives empty
    // Defined here: every value a scan reads is built by this one, and most fit inline.
    KelStringBase(const char16_t* text, std::size_t length) : iInlineLength(0) {
        iStore.iInline[0] = 0;
        if (text == nullptr || length == 0) return;
        if (length > kInlineCapacity) {
            setContents(text, length, 0);
            return;
        }
        std::memcpy(iStore.iInline, text, length * sizeof(char16_t));
        iStore.iInline[length] = 0;
        iInlineLength = static_cast<std::uint16_t>(length);
    }
    KelStringBase(std::u16string_view text);
    KelStringBase(const KelStringBase& other) noexcept;   // shares a heap block
    KelStringBase(KelStringBase&& other) noexcept;
    KelStringBase& operator=(const KelStringBase& other) noexcept;
    KelStringBase& operator=(KelStringBase&& other) noexcept;
    ~KelStringBase() {
        if (!isInline()) releaseBlock(iStore.iBlock);
    }

    // Conversions for callers that work in UTF-8. Invalid UTF-8 becomes U+FFFD; unpaired
    // surrogates become U+FFFD on the way out.
    static KelStringBase fromUtf8(std::string_view utf8);
    // The same for text that will be stored, where a U+FFFD put in its place would be data lost
    // without a word: std::invalid_argument, naming the first bad byte and its offset.
    static KelStringBase fromValidUtf8(std::string_view utf8);
    static KelStringBase fromAscii(const char* text); // 7-bit literals: each byte one code unit
    std::string toUtf8() const;

    std::size_t length() const noexcept { return isInline() ? iInlineLength : heapLength(); }
    std::size_t size() const noexcept { return length(); }
    bool empty() const noexcept { return length() == 0; }
    // Zero-terminated code units; valid until the next change of this object.
    const char16_t* data() const noexcept { return isInline() ? iStore.iInline : heapUnits(); }
    const char16_t* c_str() const noexcept { return data(); }
    char16_t operator[](std::size_t index) const noexcept { return data()[index]; }
    std::u16string_view view() const noexcept { return {data(), length()}; }
    std::size_t capacity() const noexcept;

    // Writable code units: makes the text private first (copy-on-write).
    char16_t* mutableData();

    void clear() noexcept;                               // empty, inline
    void assign(const char16_t* text, std::size_t length);
    KelStringBase& append(const char16_t* text, std::size_t length);
    KelStringBase& append(const KelStringBase& text) { return append(text.data(), text.length()); }
    KelStringBase& append(char16_t unit) { return append(&unit, 1); }
    KelStringBase& operator+=(const KelStringBase& text) { return append(text); }
    KelStringBase& operator+=(char16_t unit) { return append(unit); }
    void resize(std::size_t length, char16_t fill = 0);
    void erase(std::size_t position, std::size_t count = npos);
    // Makes room for at least `capacity` code units, privately (moves to the heap if needed).
    void reserve(std::size_t capacity);
    // Empties the text but keeps (or makes) a private heap block of at least `capacity` units,
    // for buffers that are filled and emptied again and again.
    void clearAndReserve(std::size_t capacity);
    // Sets the length to `length` and returns the writable code units, for code that fills a
    // text in place (converters, decoders). Units up to the old length are kept; the rest are
    // unspecified until written. Shrink afterwards with resize().
    char16_t* resizeForOverwrite(std::size_t length);

    KelStringBase substr(std::size_t position, std::size_t count = npos) const;
    std::size_t find(char16_t unit, std::size_t from = 0) const noexcept;
    std::size_t find(const KelStringBase& text, std::size_t from = 0) const noexcept;
    bool startsWith(const KelStringBase& prefix) const noexcept;
    int compare(const KelStringBase& other) const noexcept;
    bool equals(const char* ascii) const noexcept;       // compare with a 7-bit literal
    // Whether the `length` units at `a` and at `b` are the same. For the short texts that caches
    // compare by the million (names, indentation): in place, four units at a time with the last
    // four read as a whole (overlapping what went before), not unit by unit nor through a call.
    static bool sameUnits(const char16_t* a, const char16_t* b, std::size_t length) noexcept {
        if (length >= 4) {
            for (std::size_t i = 0; i + 4 < length; i += 4)
                if (load8(a + i) != load8(b + i)) return false;
            return load8(a + length - 4) == load8(b + length - 4);
        }
        if (length >= 2) return load4(a) == load4(b) && load4(a + length - 2) == load4(b + length - 2);
        return length == 0 || a[0] == b[0];
    }

    // Introspection for tests and diagnostics.
    bool isInline() const noexcept { return iInlineLength != kHeapMarker; }
    std::uint32_t referenceCount() const noexcept;      // 0 when inline

private:
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
    // Heap block: 32-bit count, capacity and length, then capacity + 1 code units (the last for
    // the terminating zero): 2 * capacity + 14 bytes in all. Defined here so that length() and
    // data() stay inline on the parsing hot path.
    struct Block {
        std::atomic<std::uint32_t> iCount;
        std::uint32_t iCapacity;
        std::uint32_t iLength;
        explicit Block(std::uint32_t capacity) noexcept : iCount(1), iCapacity(capacity), iLength(0) {}
        char16_t* units() noexcept { return reinterpret_cast<char16_t*>(this + 1); }
        const char16_t* units() const noexcept { return reinterpret_cast<const char16_t*>(this + 1); }
    };
    static constexpr std::uint16_t kHeapMarker = 0xFFFF;

    std::size_t heapLength() const noexcept { return iStore.iBlock->iLength; }
    const char16_t* heapUnits() const noexcept { return iStore.iBlock->units(); }
    static void releaseBlock(Block* block) noexcept;
    bool isShared() const noexcept;
    static Block* allocateBlock(std::size_t capacity);
    static std::size_t grownCapacity(std::size_t needed, std::size_t from);
    void release() noexcept;
    void setContents(const char16_t* text, std::size_t length, std::size_t minCapacity);
    void makePrivate(std::size_t minCapacity);
    void setLengthAfterShrink(std::size_t newLength);

    // The store packs to 2-byte alignment so that the length word takes the two bytes after the
    // inline units instead of a padded word of its own: a string is 40 bytes, not 48 (it is part
    // of every syntax element's value). The class is 8-aligned, so the block pointer still is.
    union __attribute__((packed, aligned(2))) Store {
        char16_t iInline[kInlineCapacity + 1];
        Block* iBlock;
    } iStore;
    std::uint16_t iInlineLength; // length when inline; kHeapMarker when the block holds the text
};

bool operator==(const KelStringBase& a, const KelStringBase& b) noexcept;
inline bool operator!=(const KelStringBase& a, const KelStringBase& b) noexcept { return !(a == b); }
inline bool operator<(const KelStringBase& a, const KelStringBase& b) noexcept { return a.compare(b) < 0; }
KelStringBase operator+(const KelStringBase& a, const KelStringBase& b);

// Hash for unordered containers (not the element-name hash, which KelSyntaxElement owns): keyed
// afresh in each process, so that the texts of a message cannot be chosen to share one bucket.
struct KelStringBaseHash {
    std::size_t operator()(const KelStringBase& s) const noexcept;
    static std::size_t of(const char16_t* units, std::size_t length) noexcept;
    // The same keyed hash over `length` bytes (UTF-8 text, say).
    static std::size_t ofBytes(const void* bytes, std::size_t length) noexcept;
};

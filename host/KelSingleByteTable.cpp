// KelSingleByteTable: built from the strict converter one byte at a time, then used without it.
#include "host/KelSingleByteTable.hpp"

#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "host/KelLog.hpp"
#include "host/KelUtf8.hpp"

#include <unicode/ucnv.h>
#include <unicode/uset.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace {

// Shared by every block without entries.
const std::int16_t kEmptyBlock[256] = {
#define KEL_NONE4 -1, -1, -1, -1
#define KEL_NONE16 KEL_NONE4, KEL_NONE4, KEL_NONE4, KEL_NONE4
#define KEL_NONE64 KEL_NONE16, KEL_NONE16, KEL_NONE16, KEL_NONE16
    KEL_NONE64, KEL_NONE64, KEL_NONE64, KEL_NONE64
#undef KEL_NONE64
#undef KEL_NONE16
#undef KEL_NONE4
};

// Process-wide, never destroyed, so tables stay valid while other static objects are torn down.
// A page that has no table is remembered as null, so it is looked at only once.
std::mutex& tablesMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}
std::unordered_map<int, std::unique_ptr<KelSingleByteTable>>& tables() {
    static auto* map = new std::unordered_map<int, std::unique_ptr<KelSingleByteTable>>;
    return *map;
}

// Whether ICU's table for `icuName` has one byte per character and no state (a shift state
// would make the byte of a character depend on the ones before it).
bool isSingleBytePage(const std::string& icuName) {
    UConverter* icu = KelConverter::openStrict(icuName.c_str());
    if (icu == nullptr) return false;
    const bool single = ucnv_getMaxCharSize(icu) == 1 && ucnv_getMinCharSize(icu) == 1;
    ucnv_close(icu);
    return single;
}

// Every character that takes part in a mapping of several characters to one byte: a text holding
// it may convert otherwise than character by character.
std::vector<UChar32> charactersOfSequenceMappings(const std::string& icuName) {
    std::vector<UChar32> found;
    UConverter* icu = KelConverter::openStrict(icuName.c_str());
    if (icu == nullptr) return found;
    UErrorCode status = U_ZERO_ERROR;
    USet* set = uset_openEmpty();
    ucnv_getUnicodeSet(icu, set, UCNV_ROUNDTRIP_AND_FALLBACK_SET, &status);
    if (U_SUCCESS(status)) {
        const int32_t items = uset_getItemCount(set);
        for (int32_t i = 0; i < items; ++i) {
            UChar32 start = 0, end = 0;
            UChar text[64];
            UErrorCode itemStatus = U_ZERO_ERROR;
            const int32_t length = uset_getItem(set, i, &start, &end, text, 64, &itemStatus);
            if (length <= 0 || U_FAILURE(itemStatus)) continue;
            for (int32_t k = 0; k < length; ++k) found.push_back(text[k]);
        }
    }
    uset_close(set);
    ucnv_close(icu);
    return found;
}

bool isSurrogate(char16_t unit) noexcept { return unit >= 0xD800 && unit <= 0xDFFF; }

} // namespace

KelSingleByteTable::KelSingleByteTable(int ccsid) : iCcsid(ccsid) {
    std::fill(std::begin(iBlocks), std::end(iBlocks), kEmptyBlock);
    std::fill(std::begin(iUnits), std::end(iUnits), -1);
}

const KelSingleByteTable* KelSingleByteTable::forCcsid(int ccsid) {
    // Pages of several bytes per character are known without asking ICU.
    if (ccsid == 1208 || KelConverter::isUtf16Ccsid(ccsid)) return nullptr;
    std::lock_guard<std::mutex> lock(tablesMutex());
    auto& map = tables();
    auto found = map.find(ccsid);
    if (found != map.end()) return found->second.get();
    auto table = std::make_unique<KelSingleByteTable>(ccsid);
    if (!table->build()) table.reset();
    const KelSingleByteTable* result = table.get();
    map.emplace(ccsid, std::move(table));
    return result;
}

bool KelSingleByteTable::build() {
    KelDebugTraceScope trace(nullptr, "KelSingleByteTable::build", iCcsid);
    const KelConverter* converter = nullptr;
    try {
        converter = KelConverter::setCodepage(iCcsid, 0);
    } catch (const KelException&) {
        return false;   // unknown: the converter says so where the page is used
    }
    if (converter->isUtf16() || !isSingleBytePage(converter->icuName())) return false;

    unsigned char bytes[64];
    if (converter->maxBytesFor(1) > sizeof bytes) return false;
    for (int b = 0; b < 256; ++b) {
        const unsigned char byte = static_cast<unsigned char>(b);
        char16_t unit = 0;
        try {
            const KelStringBase text = converter->toUnicode(&byte, 1, false, 0);
            if (text.length() != 1 || isSurrogate(text.data()[0])) continue;
            unit = text.data()[0];
            // Read on its own, as a stateless page of one byte per character always reads it,
            // whether or not the page writes this character as this byte.
            iUnits[b] = unit;
            // Only a round trip proves that the converter gives this byte for this character.
            if (converter->convertFromUnicode(&unit, 1, bytes, sizeof bytes, 0) != 1 || bytes[0] != byte) continue;
        } catch (const KelException&) {
            continue;   // a byte without a character, or a character the page refuses
        }
        set(unit, b);
    }
    for (UChar32 c : charactersOfSequenceMappings(converter->icuName())) {
        if (c <= 0xFFFF) clear(static_cast<char16_t>(c));
    }
    iAsciiComplete = true;
    for (int u = 0; u < 0x80; ++u) {
        const int byte = byteFor(static_cast<char16_t>(u));
        iAsciiComplete = iAsciiComplete && byte >= 0;
        iAscii[u] = static_cast<unsigned char>(byte);
    }
    return true;
}

void KelSingleByteTable::set(char16_t unit, int byte) {
    const int high = unit >> 8;
    if (iBlocks[high] == kEmptyBlock) {
        std::unique_ptr<std::int16_t[]> block(new std::int16_t[256]);
        std::copy(std::begin(kEmptyBlock), std::end(kEmptyBlock), block.get());
        iBlocks[high] = block.get();
        iOwnBlocks.push_back(std::move(block));
    }
    auto* entries = const_cast<std::int16_t*>(iBlocks[high]);
    if (entries[unit & 0xFF] < 0) ++iSize;
    entries[unit & 0xFF] = static_cast<std::int16_t>(byte);
}

void KelSingleByteTable::clear(char16_t unit) {
    const int high = unit >> 8;
    if (iBlocks[high] == kEmptyBlock) return;
    auto* entries = const_cast<std::int16_t*>(iBlocks[high]);
    if (entries[unit & 0xFF] >= 0) --iSize;
    entries[unit & 0xFF] = -1;
}

bool KelSingleByteTable::holds(const char16_t* text, std::size_t length) const noexcept {
    for (std::size_t i = 0; i < length; ++i)
        if (byteFor(text[i]) < 0) return false;
    return true;
}

bool KelSingleByteTable::fromUtf16(const char16_t* text, std::size_t length, unsigned char* out) const noexcept {
    for (std::size_t i = 0; i < length; ++i) {
        const int b = byteFor(text[i]);
        if (b < 0) return false;
        out[i] = static_cast<unsigned char>(b);
    }
    return true;
}

long KelSingleByteTable::fromUtf8(const unsigned char* in, std::size_t length, unsigned char* out) const noexcept {
    const unsigned char* const end = in + length;
    unsigned char* o = out;
    while (in < end) {
        // Runs of ASCII, most of a document in most pages, take the short way when the page
        // holds every ASCII character.
        if (iAsciiComplete) {
            while (end - in >= 8) {
                std::uint64_t word;
                std::memcpy(&word, in, 8);
                if ((word & 0x8080808080808080ull) != 0) break;
                for (int k = 0; k < 8; ++k) o[k] = iAscii[in[k]];
                in += 8;
                o += 8;
            }
            while (in < end && *in < 0x80) *o++ = iAscii[*in++];
            if (in == end) break;
        }
        const unsigned lead = *in;
        int b;
        if (lead < 0x80) {
            b = iBlocks[0][lead];
            ++in;
        } else {
            std::uint32_t code = 0;
            const int n = kelReadUtf8(in, end, code);
            if (n <= 0 || code > 0xFFFF) return -1;
            b = byteFor(static_cast<char16_t>(code));
            in += n;
        }
        if (b < 0) return -1;
        *o++ = static_cast<unsigned char>(b);
    }
    return static_cast<long>(o - out);
}

// XmlBufferedOutput: batching, conversion into the write buffer, copied stretches.
#include "writer/XmlBufferedOutput.hpp"

#include "host/KelConverter.hpp"
#include "host/KelSingleByteTable.hpp"
#include "host/KelUtf8.hpp"
#include "host/KelWriteBuffer.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

constexpr std::size_t kSwapChunk = 1000;   // bytes swapped per append on the UTF-16 swap path
constexpr int kUtf8Ccsid = 1208;

// Decodes UTF-8 that is well formed; false (out unspecified) at the first ill-formed or cut-off
// sequence, which the converter then reports as it always has.
bool decodeWellFormedUtf8(const unsigned char* in, const unsigned char* end, KelStringBase& out) {
    char16_t* const begin = out.resizeForOverwrite(static_cast<std::size_t>(end - in));
    char16_t* o = begin;
    while (in < end) {
        const unsigned lead = *in;
        if (lead < 0x80) {
            *o++ = static_cast<char16_t>(lead);
            ++in;
            continue;
        }
        std::uint32_t code = 0;
        const int n = kelReadUtf8(in, end, code);
        if (n <= 0) return false;
        in += n;
        o = kelPutUtf16(o, code);
    }
    out.resize(static_cast<std::size_t>(o - begin));
    return true;
}

} // namespace

// ---- the write --------------------------------------------------------------------------------

void XmlBufferedOutput::begin(KelWriteBuffer* buffer, int ccsid, int byteOrder, bool newLines) {
    iWriteBuffer = buffer;
    iCcsid = ccsid;
    iPendingByteOrder = byteOrder;
    iNewLines = newLines;
    iBytesCopied = 0;
    iCoverage.setPage(ccsid, byteOrder);
    if (!iPendingText.empty()) iPendingText.clear();
}

void XmlBufferedOutput::end() noexcept {
    iWriteBuffer = nullptr;
    iCcsid = 0;
    iPendingByteOrder = 0;
    if (!iPendingText.empty()) iPendingText.clear();
}

void XmlBufferedOutput::discardFrom(long used) {
    iWriteBuffer->setUsed(used);
    restoreEndOfBuffer();
    if (!iPendingText.empty()) iPendingText.clear();
    iBytesCopied = 0;
}

// ---- pending text -----------------------------------------------------------------------------

void XmlBufferedOutput::flush() {
    if (iPendingText.empty()) return;
    const long from = iWriteBuffer->used();
    if (!appendThroughTable(nullptr, 0)) {
        iWriteBuffer->appendMbs(iPendingText, iCcsid, iPendingByteOrder);
        iPendingText.clearAndReserve(iFlushThreshold);
    }
    keepNewLines(from);
}

void XmlBufferedOutput::writeLong(const char16_t* text, std::size_t length) {
    if (length == 0) return;
    if (!iPendingText.empty() && iPendingText.length() + length > iFlushThreshold) flush();
    if (length > iFlushThreshold) {
        const long from = iWriteBuffer->used();
        if (!appendThroughTable(text, length)) iWriteBuffer->appendMbs(text, length, iCcsid, iPendingByteOrder);
        keepNewLines(from);
    } else {
        iPendingText.append(text, length);
    }
}

void XmlBufferedOutput::keepNewLines(long from) {
    // In an EBCDIC page LF is 0x25 and never part of another character: every one that text
    // written anew brought becomes the NL the document ends its lines with.
    if (!iNewLines) return;
    unsigned char* bytes = iWriteBuffer->data();
    for (long i = from; i < iWriteBuffer->used(); ++i)
        if (bytes[i] == 0x25) bytes[i] = 0x15;
}

// ---- stretches of original bytes ----------------------------------------------------------------

void XmlBufferedOutput::copyBytes(const unsigned char* from, const unsigned char* end, bool swapPairs) {
    flush();
    if (swapPairs) appendSwapped(from, end);
    else iWriteBuffer->append(from, end - from);
    iBytesCopied += end - from;
}

void XmlBufferedOutput::appendSwapped(const unsigned char* start, const unsigned char* end) {
    unsigned char work[kSwapChunk];
    while (start < end) {
        const std::size_t count = std::min<std::size_t>(kSwapChunk, static_cast<std::size_t>(end - start));
        for (std::size_t i = 0; i + 1 < count; i += 2) {
            work[i] = start[i + 1];
            work[i + 1] = start[i];
        }
        iWriteBuffer->append(work, static_cast<long>(count));
        start += count;
    }
}

bool XmlBufferedOutput::convertStretch(const unsigned char* from, const unsigned char* end, long ccsid,
                                       bool bigEndian, const KelStringBase* lead) {
    // Into a single-byte page, a long UTF-8 stretch whose every character is in the page's table
    // goes straight into the buffer; any other is decoded and goes the way below.
    if (ccsid == kUtf8Ccsid && copyUtf8ThroughTable(from, end, lead)) return true;
    decode(from, end, ccsid, bigEndian, iDecoded);
    const KelSingleByteTable* table = singleByteTable();
    // The table holds what the converter holds, C1 controls too, which the page is not taken to.
    const bool inTable = table != nullptr && table->holds(iDecoded.data(), iDecoded.length()) &&
                         std::none_of(iDecoded.data(), iDecoded.data() + iDecoded.length(), XmlPageCoverage::isC1Control);
    if (!inTable && !iCoverage.canEncode(iDecoded.data(), iDecoded.length())) return false;
    if (lead != nullptr) write(*lead);
    write(iDecoded);
    return true;
}

void XmlBufferedOutput::decode(const unsigned char* start, const unsigned char* end, long ccsid, bool bigEndian,
                               KelStringBase& out) const {
    const std::size_t length = static_cast<std::size_t>(end - start);
    if (length == 0) {
        out.clear();
        return;
    }
    if (KelConverter::isUtf16Ccsid(static_cast<int>(ccsid))) {
        // The stretch's own byte order counts, whatever the output's.
        const std::size_t units = length / 2;
        char16_t* target = out.resizeForOverwrite(units);
        if (bigEndian) {
            for (std::size_t i = 0; i < units; ++i)
                target[i] = static_cast<char16_t>((start[2 * i] << 8) | start[2 * i + 1]);
        } else {
            for (std::size_t i = 0; i < units; ++i)
                target[i] = static_cast<char16_t>(start[2 * i] | (start[2 * i + 1] << 8));
        }
        return;
    }
    if (ccsid == kUtf8Ccsid && decodeWellFormedUtf8(start, end, out)) return;
    const KelConverter* converter = KelConverter::createConverter(static_cast<int>(ccsid), 0);
    // Read as the tree builder read it: NL is a line end.
    out = converter->toUnicodeAsRead(start, static_cast<long>(length));
}

void XmlBufferedOutput::restoreEndOfBuffer() {
    // A buffer that never grew has no bytes to end.
    if (iWriteBuffer->data() != nullptr) iWriteBuffer->data()[iWriteBuffer->used()] = 0;
}

// ---- single-byte tables -------------------------------------------------------------------------

const KelSingleByteTable* XmlBufferedOutput::singleByteTable() {
    if (iSingleByteCcsid != iCcsid) {
        iSingleByte = iCoverage.coversUnicode() ? nullptr : KelSingleByteTable::forCcsid(iCcsid);
        iSingleByteCcsid = iCcsid;
    }
    return iSingleByte;
}

unsigned char* XmlBufferedOutput::tableRoom(std::size_t room) {
    if (iWriteBuffer == nullptr || singleByteTable() == nullptr) return nullptr;
    const long used = iWriteBuffer->used();
    // Sizes the buffer cannot hold go the converter's way, which reports them.
    if (used < 0 || room > static_cast<std::size_t>(std::numeric_limits<long>::max() / 2 - used)) return nullptr;
    const long needed = used + static_cast<long>(room) + 1;   // and the buffer's zero byte
    if (iWriteBuffer->capacity() < needed) iWriteBuffer->enlarge(needed);
    if (iWriteBuffer->capacity() < needed || iWriteBuffer->data() == nullptr) return nullptr;
    return iWriteBuffer->data() + used;
}

void XmlBufferedOutput::commitTableBytes(std::size_t count) {
    const long used = iWriteBuffer->used() + static_cast<long>(count);
    iWriteBuffer->setUsed(used);
    iWriteBuffer->data()[used] = 0;
}

bool XmlBufferedOutput::appendThroughTable(const char16_t* text, std::size_t length) {
    const std::size_t pending = iPendingText.length();
    unsigned char* out = tableRoom(pending + length);
    if (out == nullptr) return false;
    if (!iSingleByte->fromUtf16(iPendingText.data(), pending, out) ||
        !iSingleByte->fromUtf16(text, length, out + pending)) {
        restoreEndOfBuffer();
        return false;
    }
    commitTableBytes(pending + length);
    if (pending != 0) iPendingText.clearAndReserve(iFlushThreshold);
    return true;
}

bool XmlBufferedOutput::copyUtf8ThroughTable(const unsigned char* start, const unsigned char* end,
                                             const KelStringBase* lead) {
    // A stretch of no more bytes than the flush threshold has no more characters either: it joins
    // the pending text, as every short piece does.
    const std::size_t length = static_cast<std::size_t>(end - start);
    if (length <= iFlushThreshold) return false;
    // A C1 control (C2 80 to C2 9F) is for the page's coverage to judge.
    for (const unsigned char* c = start; (c = static_cast<const unsigned char*>(std::memchr(c, 0xC2, end - c))) != nullptr; ++c)
        if (c + 1 < end && c[1] >= 0x80 && c[1] <= 0x9F) return false;
    // The stretch is converted behind the room that the pending text and the lead will take, one
    // byte per unit, so that they can still be flushed first exactly as the piece rule does.
    const std::size_t ahead = iPendingText.length() + (lead != nullptr ? lead->length() : 0);
    unsigned char* room = tableRoom(ahead + length);
    if (room == nullptr) return false;
    const long at = iWriteBuffer->used() + static_cast<long>(ahead);
    long count = iSingleByte->fromUtf8(start, length, room + ahead);
    if (count <= static_cast<long>(iFlushThreshold)) {
        // A character without entry, or few enough to be a piece for the pending text.
        restoreEndOfBuffer();
        return false;
    }
    const unsigned char first = iWriteBuffer->data()[at];
    if (lead != nullptr) write(*lead);
    flush();   // as the piece rule does before a piece longer than the threshold
    if (iWriteBuffer->used() == at) {
        iWriteBuffer->data()[at] = first;   // the flush's zero byte landed on it
    } else {
        // The flush took other than one byte per unit (a surrogate pair): convert again where
        // the buffer now ends, or as any long piece if the buffer cannot grow.
        unsigned char* again = tableRoom(length);
        if (again == nullptr) {
            decode(start, end, kUtf8Ccsid, true, iDecoded);
            write(iDecoded);
            return true;
        }
        count = iSingleByte->fromUtf8(start, length, again);
    }
    const long from = iWriteBuffer->used();
    commitTableBytes(static_cast<std::size_t>(count));
    keepNewLines(from);
    return true;
}

// KelWriteBuffer: growable byte buffer; conversions write straight into its free space.
#include "host/KelWriteBuffer.hpp"

#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "host/KelThrow.hpp"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

KelWriteBuffer::KelWriteBuffer(int ccsid, long initialCapacity)
    : iData(nullptr), iUsed(0), iCapacity(0), iCcsid(ccsid) {
    if (initialCapacity < 0) {
        kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelWriteBuffer::KelWriteBuffer",
                                          KelMsg::E_Kel_BufferSize, initialCapacity);
    }
    if (initialCapacity > 0) {
        iData = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(initialCapacity)));
        if (iData == nullptr) throw std::bad_alloc();
        iCapacity = initialCapacity;
        iData[0] = 0;
    }
}

KelWriteBuffer::~KelWriteBuffer() { std::free(iData); }

void KelWriteBuffer::clear() noexcept {
    iUsed = 0;
    if (iData != nullptr) iData[0] = 0;
}

void KelWriteBuffer::enlarge(long totalSize) {
    if (totalSize <= iCapacity) return;
    // Grow at least by half again, so that a run of small appends costs amortised linear time.
    long newCapacity = iCapacity + iCapacity / 2;
    if (newCapacity < totalSize) newCapacity = totalSize;
    if (newCapacity < 64) newCapacity = 64;
    void* grown = std::realloc(iData, static_cast<std::size_t>(newCapacity));
    if (grown == nullptr) throw std::bad_alloc();
    iData = static_cast<unsigned char*>(grown);
    iCapacity = newCapacity;
}

// Makes room for `extra` bytes after the used ones plus the uncounted zero byte. enlarge() may be
// overridden; a version that does not deliver the room is reported, never written past.
void KelWriteBuffer::ensureRoom(long extra) {
    if (extra < 0 || iUsed < 0 || extra > std::numeric_limits<long>::max() - iUsed - 1) {
        kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelWriteBuffer::ensureRoom",
                                          KelMsg::E_Kel_BufferSize, extra);
    }
    const long needed = iUsed + extra + 1;
    if (needed <= iCapacity) return;
    enlarge(needed);
    if (iCapacity < needed || iData == nullptr) {
        kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelWriteBuffer::ensureRoom",
                                          KelMsg::E_Kel_BufferSize, needed);
    }
}

void KelWriteBuffer::append(const void* bytes, long length) {
    if (length < 0 || (bytes == nullptr && length != 0)) {
        kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelWriteBuffer::append", KelMsg::E_Kel_BufferSize,
                                          length);
    }
    // Bytes from this buffer itself must survive a reallocation.
    const auto* source = static_cast<const unsigned char*>(bytes);
    const bool inside = iData != nullptr && source >= iData && source < iData + iCapacity;
    const std::ptrdiff_t offset = inside ? source - iData : 0;
    ensureRoom(length);
    if (inside) source = iData + offset;
    if (length != 0) std::memmove(iData + iUsed, source, static_cast<std::size_t>(length));
    iUsed += length;
    iData[iUsed] = 0;
}

void KelWriteBuffer::appendMbs(const KelStringBase& text) { appendMbs(text.data(), text.length(), iCcsid, 1); }

void KelWriteBuffer::appendMbs(const KelStringBase& text, int ccsid, int byteOrder) {
    appendMbs(text.data(), text.length(), ccsid, byteOrder);
}

void KelWriteBuffer::appendMbs(const char16_t* text, std::size_t length, int ccsid, int byteOrder) {
    const KelConverter* converter = KelConverter::setCodepage(ccsid, 0);
    const std::size_t most = converter->maxBytesFor(length);
    if (most > static_cast<std::size_t>(std::numeric_limits<long>::max() / 2)) {
        kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelWriteBuffer::appendMbs", KelMsg::E_Kel_BufferSize,
                                          static_cast<unsigned long>(length));
    }
    ensureRoom(static_cast<long>(most));
    try {
        const std::size_t written = converter->convertFromUnicode(
            text, length, iData + iUsed, static_cast<std::size_t>(iCapacity - iUsed - 1), byteOrder);
        iUsed += static_cast<long>(written);
        iData[iUsed] = 0;
    } catch (...) {
        // A failed conversion adds nothing; put back the zero byte it may have overwritten.
        iData[iUsed] = 0;
        throw;
    }
}

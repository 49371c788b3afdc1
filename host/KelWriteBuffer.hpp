// KelWriteBuffer: a growable output buffer of bytes in a code page. Every append keeps one
// uncounted zero byte after the used bytes. Owns its storage. Thread rules: one thread at a time.
#pragma once

#include "host/KelStringBase.hpp"

#include <cstddef>
#include <string>

class KelWriteBuffer {
public:
    explicit KelWriteBuffer(int ccsid = 1208, long initialCapacity = 0);
    KelWriteBuffer(const KelWriteBuffer&) = delete;
    KelWriteBuffer& operator=(const KelWriteBuffer&) = delete;
    virtual ~KelWriteBuffer();

    unsigned char* data() noexcept { return iData; }
    const unsigned char* data() const noexcept { return iData; }
    long used() const noexcept { return iUsed; }
    long capacity() const noexcept { return iCapacity; }
    void setUsed(long used) noexcept { iUsed = used; }
    int codepage() const noexcept { return iCcsid; }
    std::string toString() const { return std::string(reinterpret_cast<const char*>(iData), iUsed); }
    void clear() noexcept;                      // used back to 0 (capacity kept)

    // Grows the capacity to at least `totalSize` bytes (never shrinks); contents are kept.
    virtual void enlarge(long totalSize);

    // Copies `length` bytes to data + used, adds them to used and writes one zero byte after.
    void append(const void* bytes, long length);
    // Converts `text` into the buffer's own code page (big-endian for UTF-16 pages).
    void appendMbs(const KelStringBase& text);
    // Converts `text` into `ccsid`; byteOrder 1 big-endian, -1 little-endian (UTF-16 pages).
    void appendMbs(const KelStringBase& text, int ccsid, int byteOrder);
    void appendMbs(const char16_t* text, std::size_t length, int ccsid, int byteOrder);

private:
    void ensureRoom(long extra);

    unsigned char* iData;
    long iUsed;
    long iCapacity;
    int iCcsid;
};

// KelBuffer: a bitstream, the address of its first byte and its length. A buffer either shares
// ownership of its bytes (adopt, fromString, share: copies of the KelBuffer keep them alive, so
// a parser can hold on to a 100 MB message without copying it) or only views bytes that its
// creator keeps alive for as long as any copy, and any element span, is used.
// Thread rules: a KelBuffer is a value; the bytes are never written through it.
#pragma once

#include <memory>
#include <string>
#include <vector>

class KelBuffer {
public:
    KelBuffer() = default;
    KelBuffer(const unsigned char* data, long length) : iData(data), iLength(length) {}

    static KelBuffer adopt(std::vector<unsigned char>&& bytes);
    static KelBuffer fromString(std::string bytes);
    static KelBuffer share(std::shared_ptr<const void> owner, const unsigned char* data, long length);

    const unsigned char* data() const noexcept { return iData; }
    long length() const noexcept { return iLength; }
    bool ownsBytes() const noexcept { return static_cast<bool>(iOwner); }
    std::string toString() const { return iData ? std::string(reinterpret_cast<const char*>(iData), iLength > 0 ? iLength : 0) : std::string(); }

private:
    const unsigned char* iData = nullptr;
    long iLength = 0;
    std::shared_ptr<const void> iOwner;
};

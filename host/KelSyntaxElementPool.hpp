// KelSyntaxElementPool: arena of fixed-size element slots, carved from large chunks, so that
// building a tree costs no allocation per element. Elements are built in their slots through the
// parser's callElementConstructor and destroyed all together by release() or the destructor.
// Chunks of a destroyed pool are kept (up to kCachedBytesPerThread) for the next pool made on the
// same thread, so that a parser per message does not fault fresh pages in for every message.
// Owned by one parser; one thread at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

class KelParser;
class KelSyntaxElement;

class KelSyntaxElementPool {
public:
    static constexpr std::size_t kSlotsPerChunk = 4096;
    // Chunk bytes a thread keeps from destroyed pools for its next pools.
    static constexpr std::size_t kCachedBytesPerThread = 32u * 1024u * 1024u;

    KelSyntaxElementPool(KelParser* parser, std::size_t elementSize);
    KelSyntaxElementPool(const KelSyntaxElementPool&) = delete;
    KelSyntaxElementPool& operator=(const KelSyntaxElementPool&) = delete;
    ~KelSyntaxElementPool();

    // A new element built by the parser's callElementConstructor, with both completion flags set
    // (an element made by hand has nothing left to parse; the tree builder clears them).
    KelSyntaxElement* createElement();
    // Destroys every element of the pool; their storage is kept for reuse.
    void release() noexcept;

    std::size_t elementCount() const noexcept { return iCount; }
    std::size_t slotSize() const noexcept { return iSlotSize; }

private:
    // Hands the chunk to this thread's cache, or frees it when the cache is full.
    struct ChunkDeleter {
        std::size_t bytes;
        void operator()(unsigned char* p) const noexcept;
    };
    KelParser* iParser;
    std::size_t iSlotSize;
    std::vector<std::unique_ptr<unsigned char, ChunkDeleter>> iChunks;
    std::size_t iCount;      // slots handed out (and constructed), in chunk order
};

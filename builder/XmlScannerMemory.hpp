// XmlScannerMemory: the memory manager of one tree builder's scanner. The scanner library loses
// a little of what it was building when an error is reported inside a document type declaration
// (a bad content model, a bad byte after an identifier); every block it takes is kept on a list
// here, so whatever it never gives back is freed when the builder goes, instead of being lost to
// the process. It also tells the builder's expansion meter of every reader the scanner opens and
// closes (one per entity expanded), and fails an opening the meter refuses as the library expects
// an allocation to fail; the parameter-reference log hears of the same openings and closings.
// Small blocks given back are kept (up to 64 KB) and handed out again, since each document's scan
// makes and frees the same ones. Owned by the builder, outlives the scanner objects; one thread at
// a time.
#pragma once

#include <xercesc/framework/MemoryManager.hpp>

#include <cstddef>

class XmlExpansionMeter;
class XmlParameterReferenceLog;

class XmlScannerMemory : public xercesc::MemoryManager {
public:
    XmlScannerMemory() noexcept;
    XmlScannerMemory(const XmlScannerMemory&) = delete;
    XmlScannerMemory& operator=(const XmlScannerMemory&) = delete;
    ~XmlScannerMemory() override;

    xercesc::MemoryManager* getExceptionMemoryManager() override;
    void* allocate(XMLSize_t size) override;
    void deallocate(void* p) override;

    // Told of reader openings and closings from now on; null: no one is.
    void setMeter(XmlExpansionMeter* meter) noexcept { iMeter = meter; }
    void setReferenceLog(XmlParameterReferenceLog* log) noexcept { iReferences = log; }

    // Frees the readers' blocks kept for reuse (a scan has ended: an idle builder holds none).
    void releaseSpareReaders() noexcept;

    // Blocks taken and not yet given back, and the bytes asked for in them.
    std::size_t liveBlocks() const noexcept { return iLive; }
    std::size_t liveBytes() const noexcept { return iLiveBytes; }

private:
    struct Header {
        Header* prev;
        Header* next;
        std::size_t size;
        std::size_t mark;   // tells a block of this manager from anything else
    };
    // What a block takes beyond the bytes asked for: its header and the system allocator's.
    static constexpr std::size_t kBlockOverhead = sizeof(Header) + 16;
    void* allocateReader(std::size_t size);
    static Header* newBlock(std::size_t capacity);
    void* link(Header* h, std::size_t size) noexcept;

    Header iList;           // sentinel of the circular list of live blocks
    std::size_t iLive;
    std::size_t iLiveBytes = 0;
    const std::size_t iReaderSize;   // the size of a reader's block
    XmlExpansionMeter* iMeter = nullptr;
    XmlParameterReferenceLog* iReferences = nullptr;
    // Blocks of closed readers, kept for the next entity: the scanner opens and closes one
    // reader (some 160 KB) per expansion, and getting that from the system each time costs more
    // than reading the entity.
    static constexpr int kSpareReaders = 4;
    Header* iSpare[kSpareReaders] = {};
    int iSpareCount = 0;
    // Small blocks given back, by size class, for the next document: the scanner makes its
    // grammar's tables afresh for every document, and the same blocks come and go each time.
    // At most kKeptBytes are kept; they go with the manager.
    static constexpr std::size_t kKeptBytes = 64 * 1024;
    static constexpr std::size_t kSizeClasses = 47;
    Header* iKept[kSizeClasses] = {};
    std::size_t iKeptBytes = 0;
};

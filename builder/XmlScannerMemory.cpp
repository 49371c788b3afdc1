#include "builder/XmlScannerMemory.hpp"

#include "builder/XmlExpansionMeter.hpp"
#include "builder/XmlParameterReferenceLog.hpp"

#include <xercesc/internal/XMLReader.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define QUARN_SCANMEM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUARN_SCANMEM_ASAN 1
#endif
#endif
#ifdef QUARN_SCANMEM_ASAN
#include <sanitizer/asan_interface.h>
#define SCANMEM_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define SCANMEM_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define SCANMEM_POISON(p, n) ((void)(p), (void)(n))
#define SCANMEM_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

XERCES_CPP_NAMESPACE_USE

namespace {
constexpr std::size_t kMark = 0x5175726E4D656D21ull; // a block of a scanner-memory list

// The header in which the library's placement new keeps the memory manager, before the object.
std::size_t objectHeader() noexcept {
    static const std::size_t kHeader = XMLPlatformUtils::alignPointerForNewBlockAllocation(sizeof(MemoryManager*));
    return kHeader;
}

// Size classes of the blocks kept for reuse: 16 bytes apart up to 512, then 256 bytes apart up
// to 4 KB. Class 0 is a block too large to keep.
constexpr std::size_t kSmallLimit = 512;
constexpr std::size_t kKeptLimit = 4096;
std::size_t classOf(std::size_t size) noexcept {
    if (size <= kSmallLimit) return size == 0 ? 1 : (size + 15) >> 4;
    if (size <= kKeptLimit) return 32 + ((size - kSmallLimit + 255) >> 8);
    return 0;
}
std::size_t capacityOf(std::size_t sizeClass) noexcept {
    return sizeClass <= 32 ? sizeClass << 4 : kSmallLimit + ((sizeClass - 32) << 8);
}
} // namespace

// The block the library asks for when it creates a reader is the object and its header. No other
// object of the library is near this size.
XmlScannerMemory::XmlScannerMemory() noexcept
    : iList{&iList, &iList, 0, kMark}, iLive(0), iReaderSize(objectHeader() + sizeof(XMLReader)) {}

XmlScannerMemory::~XmlScannerMemory() {
    releaseSpareReaders();
    for (Header*& list : iKept) {
        while (list != nullptr) {
            Header* next = list->next;
            ::operator delete(list);
            list = next;
        }
    }
    // What the scanner library never gave back goes now.
    Header* h = iList.next;
    while (h != &iList) {
        Header* next = h->next;
        h->mark = 0;
        ::operator delete(h);
        h = next;
    }
}

MemoryManager* XmlScannerMemory::getExceptionMemoryManager() { return XMLPlatformUtils::fgMemoryManager; }

void* XmlScannerMemory::allocate(XMLSize_t size) {
    // What the scanner builds from declarations is bounded as expansion is: refused before it is
    // taken, as the library expects an allocation to fail. Each block costs its header and the
    // system allocator's own besides what was asked: most of the scanner's blocks are small.
    if (iMeter != nullptr &&
        !iMeter->scannerMemory(static_cast<unsigned long long>(iLiveBytes) + size + (iLive + 1) * kBlockOverhead))
        throw OutOfMemoryException();
    if (size == iReaderSize) return allocateReader(size);
    const std::size_t sizeClass = classOf(size);
    Header* h = sizeClass != 0 ? iKept[sizeClass] : nullptr;
    if (h != nullptr) {
        iKept[sizeClass] = h->next;
        iKeptBytes -= capacityOf(sizeClass);
        SCANMEM_UNPOISON(h + 1, capacityOf(sizeClass));
    } else {
        h = newBlock(sizeClass != 0 ? capacityOf(sizeClass) : size);
    }
    return link(h, size);
}

void* XmlScannerMemory::allocateReader(std::size_t size) {
    // An expansion the meter refuses fails like any allocation, before the reader exists; the
    // builder learns from the meter that it was a limit and not a lack of memory.
    if (iMeter != nullptr && !iMeter->readerOpening()) throw OutOfMemoryException();
    if (iReferences != nullptr) iReferences->readerOpening();
    Header* h = iSpareCount > 0 ? iSpare[--iSpareCount] : newBlock(size);
    return link(h, size);
}

XmlScannerMemory::Header* XmlScannerMemory::newBlock(std::size_t capacity) {
    try {
        return static_cast<Header*>(::operator new(sizeof(Header) + capacity));
    } catch (const std::bad_alloc&) {
        throw OutOfMemoryException();
    }
}

void* XmlScannerMemory::link(Header* h, std::size_t size) noexcept {
    h->size = size;
    h->mark = kMark;
    h->prev = &iList;
    h->next = iList.next;
    iList.next->prev = h;
    iList.next = h;
    ++iLive;
    iLiveBytes += size;
    return h + 1;
}

void XmlScannerMemory::deallocate(void* p) {
    if (p == nullptr) return;
    Header* h = static_cast<Header*>(p) - 1;
    h->prev->next = h->next;
    h->next->prev = h->prev;
    h->mark = 0;
    --iLive;
    iLiveBytes -= h->size;
    if (h->size == iReaderSize) {
        if (iMeter != nullptr) iMeter->readerClosing();
        if (iReferences != nullptr) iReferences->readerClosing(static_cast<char*>(p) + objectHeader());
        if (iSpareCount < kSpareReaders) {
            iSpare[iSpareCount++] = h;
            return;
        }
        ::operator delete(h);
        return;
    }
    const std::size_t sizeClass = classOf(h->size);
    if (sizeClass != 0 && iKeptBytes + capacityOf(sizeClass) <= kKeptBytes) {
        h->next = iKept[sizeClass];
        iKept[sizeClass] = h;
        iKeptBytes += capacityOf(sizeClass);
        SCANMEM_POISON(h + 1, capacityOf(sizeClass));   // free until taken again
        return;
    }
    ::operator delete(h);
}

void XmlScannerMemory::releaseSpareReaders() noexcept {
    while (iSpareCount > 0) ::operator delete(iSpare[--iSpareCount]);
}

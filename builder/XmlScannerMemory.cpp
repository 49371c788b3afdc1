#include "builder/XmlScannerMemory.hpp"

#include "builder/XmlExpansionMeter.hpp"
#include "builder/XmlParameterReferenceLog.hpp"

#include <xercesc/internal/XMLReader.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include <new>

XERCES_CPP_NAMESPACE_USE

namespace {
constexpr std::size_t kMark = 0x5175726E4D656D21ull; // a block of a scanner-memory list

// The header in which the library's placement new keeps the memory manager, before the object.
std::size_t objectHeader() noexcept {
    static const std::size_t kHeader = XMLPlatformUtils::alignPointerForNewBlockAllocation(sizeof(MemoryManager*));
    return kHeader;
}

// The block the library asks for when it creates a reader: the object and its header. No other
// object of the library is near this size.
bool isReaderBlock(std::size_t size) noexcept { return size == objectHeader() + sizeof(XMLReader); }
} // namespace

XmlScannerMemory::XmlScannerMemory() noexcept : iList{&iList, &iList, 0, kMark}, iLive(0) {}

XmlScannerMemory::~XmlScannerMemory() {
    releaseSpareReaders();
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
    // An expansion the meter refuses fails like any allocation, before the reader exists; the
    // builder learns from the meter that it was a limit and not a lack of memory.
    const bool reader = isReaderBlock(size);
    if (iMeter != nullptr && reader && !iMeter->readerOpening()) throw OutOfMemoryException();
    if (iReferences != nullptr && reader) iReferences->readerOpening();
    void* raw = nullptr;
    if (reader && iSpareCount > 0) {
        raw = iSpare[--iSpareCount];
    } else {
        try {
            raw = ::operator new(sizeof(Header) + size);
        } catch (const std::bad_alloc&) {
            throw OutOfMemoryException();
        }
    }
    Header* h = static_cast<Header*>(raw);
    h->size = size;
    h->mark = kMark;
    h->prev = &iList;
    h->next = iList.next;
    iList.next->prev = h;
    iList.next = h;
    ++iLive;
    return h + 1;
}

void XmlScannerMemory::deallocate(void* p) {
    if (p == nullptr) return;
    Header* h = static_cast<Header*>(p) - 1;
    const bool reader = isReaderBlock(h->size);
    if (iMeter != nullptr && reader) iMeter->readerClosing();
    if (iReferences != nullptr && reader) iReferences->readerClosing(static_cast<char*>(p) + objectHeader());
    h->prev->next = h->next;
    h->next->prev = h->prev;
    h->mark = 0;
    --iLive;
    if (reader && iSpareCount < kSpareReaders) {
        iSpare[iSpareCount++] = h;
        return;
    }
    ::operator delete(h);
}

void XmlScannerMemory::releaseSpareReaders() noexcept {
    while (iSpareCount > 0) ::operator delete(iSpare[--iSpareCount]);
}

// XmlExpansionMeter: measures what entity expansion and defaulted attributes add to one document
// and refuses more once a limit of XmlBuilderLimits is passed. The scanner opens a reader for
// every entity it expands, wherever the reference stands (content, attribute values, attribute
// defaults, entity values, between declarations); the scanner's memory manager reports each
// opening and closing here, so expansions that no document event shows are counted as they
// happen. Plain text the scanner expands in place, without a reader, it reports itself, as the
// same opening and closing. The tree builder adds what it builds from expansion. Owned by the tree builder; one
// thread at a time.
#pragma once

#include "builder/XmlBuilderLimits.hpp"

#include <xercesc/util/XercesDefs.hpp>

#include <unordered_map>

XERCES_CPP_NAMESPACE_BEGIN
class ReaderMgr;
XERCES_CPP_NAMESPACE_END

class XmlExpansionMeter {
public:
    // What one expansion costs beyond its replacement text, in code units: the scanner sets up
    // a reader for it, even for an empty entity, which takes about as long as reading a few
    // hundred characters.
    static constexpr unsigned long long kExpansionCost = 128;
    // What one syntax element built from expansion (or one defaulted attribute) costs, in code
    // units: about the memory an element takes.
    static constexpr unsigned long long kElementCost = 80;

    // The limit that stopped the document and its value.
    struct Refusal {
        const char* limit;
        unsigned long value;
    };

    void setLimits(const XmlBuilderLimits& limits) noexcept { iLimits = limits; }
    // The scanner's readers, consulted at each opening and closing; null stops the watch.
    void watch(const xercesc::ReaderMgr* readers) noexcept { iReaders = readers; }
    // A new document of `ownBytes` bytes: every count starts again.
    void start(long ownBytes) noexcept;
    // An entity as the scanner declared it, with the length of its replacement text. Closings
    // find the entity's length here by its address alone: when the scanner gives up a document
    // its entities may be gone before their readers are closed.
    void declare(const void* entity, unsigned long long length);

    // A reader is about to be opened: the document's own at depth 0, else an expansion. False
    // when that passes a limit (refusal() then says which); nothing is counted when not watching.
    bool readerOpening() noexcept;
    // A reader is being closed: the text of the (declared) entity it read counts as added.
    void readerClosing() noexcept;
    // An expansion the scanner made without a reader (its opening counted by readerOpening) is
    // over: as readerClosing, the text of `entity` counts as added.
    void closedInPlace(const void* entity) noexcept;
    // The scanner reads the document type's declarations between these: only there is what it
    // holds bounded. In content it keeps a declaration for each element name it meets, which a
    // well-formed document of many distinct short names takes past any bound worth having.
    void inDocumentType(bool inside) noexcept { iInDocumentType = inside; }
    // The scanner is about to hold `liveBytes` of memory; false when that passes the scanner
    // memory bound (refusal() then says so). Inline below the threshold: asked at every
    // allocation the scanner makes while watched.
    bool scannerMemory(unsigned long long liveBytes) noexcept {
        return iReaders == nullptr || !iInDocumentType || liveBytes <= iLimits.scannerMemoryThreshold ||
               withinScannerMemory(liveBytes);
    }
    // The builder made something from expansion worth `units`; false when that passes a limit.
    bool add(unsigned long long units) noexcept;
    // False when what was added so far passes a limit (closings are checked here, or at the
    // next opening: a closing cannot be refused).
    bool check() noexcept { return iChecked == iAdded ? !iRefused : add(0); }
    // Nothing added since the last check and nothing refused: check() would pass without work.
    bool settled() const noexcept { return iChecked == iAdded && !iRefused; }

    const Refusal* refusal() const noexcept { return iRefused ? &iRefusal : nullptr; }
    unsigned long long added() const noexcept { return iAdded; }
    unsigned long expansions() const noexcept { return iExpansions; }
    unsigned long deepest() const noexcept { return iDeepest; }

private:
    bool refuse(const char* limit, unsigned long value) noexcept;
    bool withinAmplification() noexcept;
    bool withinScannerMemory(unsigned long long liveBytes) noexcept;

    XmlBuilderLimits iLimits;
    const xercesc::ReaderMgr* iReaders = nullptr;
    std::unordered_map<const void*, unsigned long long> iLengths;
    unsigned long long iOwn = 0;
    unsigned long long iAdded = 0;
    unsigned long long iChecked = 0;   // iAdded at the last check
    unsigned long iExpansions = 0;
    unsigned long iDeepest = 0;
    bool iRefused = false;
    bool iInDocumentType = false;
    Refusal iRefusal{nullptr, 0};
};

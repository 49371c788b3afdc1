#include "builder/XmlExpansionMeter.hpp"

#include <xercesc/internal/ReaderMgr.hpp>

void XmlExpansionMeter::start(long ownBytes) noexcept {
    iOwn = ownBytes > 0 ? static_cast<unsigned long long>(ownBytes) : 0;
    iAdded = 0;
    iChecked = 0;
    iExpansions = 0;
    iDeepest = 0;
    iRefused = false;
    iInDocumentType = false;
    iRefusal = Refusal{nullptr, 0};
    iLengths.clear();
}

void XmlExpansionMeter::declare(const void* entity, unsigned long long length) { iLengths[entity] = length; }

bool XmlExpansionMeter::refuse(const char* limit, unsigned long value) noexcept {
    // The first limit passed is the one reported, whatever the scanner does after it.
    if (!iRefused) iRefusal = Refusal{limit, value};
    iRefused = true;
    return false;
}

bool XmlExpansionMeter::withinAmplification() noexcept {
    const unsigned long long total = iOwn + iAdded;
    if (total <= iLimits.amplificationThreshold) return true;
    // total / own > factor, without overflow for any document length.
    const unsigned long long own = iOwn > 0 ? iOwn : 1;
    if (total / own < iLimits.amplificationFactor || (total / own == iLimits.amplificationFactor && total % own == 0))
        return true;
    return refuse("amplification factor", iLimits.amplificationFactor);
}

bool XmlExpansionMeter::withinScannerMemory(unsigned long long liveBytes) noexcept {
    if (iRefused) return false;
    const unsigned long long own = iOwn > 0 ? iOwn : 1;
    if (liveBytes / own < iLimits.scannerMemoryFactor ||
        (liveBytes / own == iLimits.scannerMemoryFactor && liveBytes % own == 0))
        return true;
    return refuse("scanner memory factor", iLimits.scannerMemoryFactor);
}

bool XmlExpansionMeter::readerOpening() noexcept {
    if (iReaders == nullptr) return true;
    if (iRefused) return false;
    // The readers open now: the document's own, then one per entity being read.
    const XMLSize_t depth = iReaders->getReaderDepth();
    if (depth == 0) return true;
    if (depth > iDeepest) iDeepest = static_cast<unsigned long>(depth);
    if (depth > iLimits.entityDepth) return refuse("entity depth", iLimits.entityDepth);
    if (++iExpansions > iLimits.entityExpansions) return refuse("entity expansions", iLimits.entityExpansions);
    return add(kExpansionCost);
}

void XmlExpansionMeter::readerClosing() noexcept {
    if (iReaders == nullptr) return;
    // The reader manager still names the entity whose reader it is closing: everything the
    // scanner read from that text was made by expansion. The check waits for the next opening
    // or element, since a closing cannot be refused.
    if (iReaders->getReaderDepth() <= 1) return;
    const auto declared = iLengths.find(iReaders->getCurrentEntity());
    if (declared != iLengths.end()) iAdded += declared->second;
}

void XmlExpansionMeter::closedInPlace(const void* entity) noexcept {
    if (iReaders == nullptr) return;
    const auto declared = iLengths.find(entity);
    if (declared != iLengths.end()) iAdded += declared->second;
}

bool XmlExpansionMeter::add(unsigned long long units) noexcept {
    iAdded += units;
    iChecked = iAdded;
    if (iRefused) return false;
    return withinAmplification();
}

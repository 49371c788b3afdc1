#include "builder/XmlUtf16Transcoder.hpp"

#include <xercesc/util/TranscodingException.hpp>
#include <xercesc/util/XMLExceptMsgs.hpp>

using namespace xercesc;

namespace {
bool leading(unsigned u) { return u >= 0xD800 && u <= 0xDBFF; }
bool trailing(unsigned u) { return u >= 0xDC00 && u <= 0xDFFF; }
constexpr bool kMachineBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
} // namespace

XmlUtf16Transcoder::XmlUtf16Transcoder(const XMLCh* encodingName, XMLSize_t blockSize, bool bigEndian,
                                       MemoryManager* manager)
    : XMLUTF16Transcoder(encodingName, blockSize, bigEndian != kMachineBigEndian, manager), iBigEndian(bigEndian) {}

XMLSize_t XmlUtf16Transcoder::transcodeFrom(const XMLByte* srcData, XMLSize_t srcCount, XMLCh* toFill,
                                            XMLSize_t maxChars, XMLSize_t& bytesEaten, unsigned char* charSizes) {
    const XMLSize_t made = XMLUTF16Transcoder::transcodeFrom(srcData, srcCount, toFill, maxChars, bytesEaten, charSizes);
    if (made == 0) return 0;
    // Units up to `keep` are handed over: all of them, or those before a surrogate alone.
    XMLSize_t keep = made;
    bool open = iLeadingLast;   // a leading surrogate waits for its partner
    for (XMLSize_t i = 0; i < made; ++i) {
        const unsigned u = toFill[i];
        if (open != trailing(u)) {
            // A leading surrogate without a trailing one after it (the fault is the leading one,
            // the unit before), or a trailing one without a leading one before it.
            keep = open && i > 0 ? i - 1 : i;
            break;
        }
        open = leading(u);
    }
    if (keep == made && open) {
        // Ends in a leading surrogate: it goes with its partner in the next call, unless it is
        // the only unit, when the unit after it (if the bytes hold one) must be its partner.
        if (made > 1) {
            keep = made - 1;
        } else if (srcCount >= bytesEaten + 2) {
            const XMLByte* next = srcData + bytesEaten;
            const unsigned after = iBigEndian ? (next[0] << 8) | next[1] : next[0] | (next[1] << 8);
            if (!trailing(after)) keep = 0;
        }
    }
    if (keep == 0) ThrowXMLwithMemMgr(TranscodingException, XMLExcepts::Trans_BadSrcSeq, getMemoryManager());
    bytesEaten -= 2 * (made - keep);
    iLeadingLast = leading(toFill[keep - 1]);
    return keep;
}

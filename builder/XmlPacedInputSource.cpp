#include "builder/XmlPacedInputSource.hpp"

#include <xercesc/util/BinInputStream.hpp>
#include <xercesc/util/XMLString.hpp>

#include <algorithm>
#include <cstring>

using namespace xercesc;

namespace {

// Hands the reader the bitstream's bytes, a piece at a time. A piece is never empty before the
// end: the reader takes an empty read for the end of its input.
class PacedStream : public BinInputStream {
public:
    PacedStream(const unsigned char* data, XMLSize_t length) noexcept : iData(data), iLength(length) {}

    XMLFilePos curPos() const override { return iAt; }
    XMLSize_t readBytes(XMLByte* const toFill, const XMLSize_t maxToRead) override {
        const XMLSize_t count = std::min({maxToRead, iLength - iAt, iPiece});
        if (count > 0) std::memcpy(toFill, iData + iAt, count);
        iAt += count;
        if (iPiece < maxToRead) iPiece *= 2;
        return count;
    }
    const XMLCh* getContentType() const override { return nullptr; }

private:
    const unsigned char* const iData;
    const XMLSize_t iLength;
    XMLSize_t iAt = 0;
    XMLSize_t iPiece = XmlPacedInputSource::kFirstPiece;
};

} // namespace

XmlPacedInputSource::XmlPacedInputSource(const XMLCh* systemId) : InputSource(systemId) {}

void XmlPacedInputSource::useEncoding(const XMLCh* encoding) {
    if (!XMLString::equals(getEncoding(), encoding)) setEncoding(encoding);
}

BinInputStream* XmlPacedInputSource::makeStream() const {
    return new (getMemoryManager()) PacedStream(iData, iLength);
}

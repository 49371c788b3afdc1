// XmlPacedInputSource: a bitstream as the scanner library reads it, in place and in pieces that
// start small and double: a message read only as far as an early field has only that far decoded,
// while a long document is still read in the reader's full buffers after a few pieces. Set to a
// new bitstream for each document, so that one source serves every document of a scanner.
// Ownership: points into the host's bytes, never owns them; the streams it makes are the reader's.
// Thread rules: those of the scanner objects that own it: one thread at a time.
#pragma once

#include <xercesc/sax/InputSource.hpp>

class XmlPacedInputSource : public xercesc::InputSource {
public:
    // The first piece a stream hands the reader; each later one is twice the one before, up to
    // what the reader has room for.
    static constexpr XMLSize_t kFirstPiece = 256;

    explicit XmlPacedInputSource(const XMLCh* systemId);
    XmlPacedInputSource(const XmlPacedInputSource&) = delete;
    XmlPacedInputSource& operator=(const XmlPacedInputSource&) = delete;

    // The bytes the next stream reads: `length` bytes at `data`.
    void setBytes(const unsigned char* data, XMLSize_t length) noexcept {
        iData = data;
        iLength = length;
    }
    // Names the encoding to the scanner (null: it finds it), copying the name only when it changes.
    void useEncoding(const XMLCh* encoding);

    xercesc::BinInputStream* makeStream() const override;

private:
    const unsigned char* iData = nullptr;
    XMLSize_t iLength = 0;
};

// XmlUtf16Transcoder: the scanner's UTF-16 reading, with every surrogate held to its pair. The
// scanner checks pairs in text but not before a closing quote or '?>', nor in a literal, so a lone
// surrogate there passed as a character; refused here, it is one fault wherever it stands, reported
// where it stands, as an encoded surrogate is in UTF-8.
// Ownership: created by the scanner through XmlKelTranscoderRegistry and deleted by its reader.
// Thread rules: one object is used by one thread at a time (it remembers the last unit it gave).
#pragma once

#include <xercesc/util/XMLUTF16Transcoder.hpp>

class XmlUtf16Transcoder : public xercesc::XMLUTF16Transcoder {
public:
    XmlUtf16Transcoder(const XMLCh* encodingName, XMLSize_t blockSize, bool bigEndian,
                       xercesc::MemoryManager* manager);

    // As the scanner library's, but the units end before a surrogate without its partner, and a
    // call that would begin with one throws the TranscodingException of an invalid sequence.
    XMLSize_t transcodeFrom(const XMLByte* srcData, XMLSize_t srcCount, XMLCh* toFill, XMLSize_t maxChars,
                            XMLSize_t& bytesEaten, unsigned char* charSizes) override;

private:
    bool iBigEndian;
    bool iLeadingLast = false;   // the last unit handed over was a leading surrogate
};

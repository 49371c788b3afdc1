// XmlKelTranscoder: a scanner transcoder over one ICU converter of the host's code-page table, so
// that the scanner can read a bitstream in any ccsid the host converts. Besides the characters it
// reports how many source bytes went into each one, which keeps the scanner's source offsets (and
// so every element span) exact in multi-byte code pages. Invalid bytes raise the scanner's own
// TranscodingException, which the scanner reports as a fatal error.
// Ownership: owns its ICU converter (for UTF-8 and UTF-16, opened only when well-formed input is
// not all it is asked to read). Created by the scanner through XmlKelTranscoderRegistry and
// deleted by the reader that uses it; the tree builder also keeps one to decode start tags.
// Single-byte pages without state are read through their page's table (built once per process),
// the converter seeing only the bytes the table has no single character for.
// Thread rules: one object is used by one thread at a time (the ICU converter carries state).
#pragma once

#include <xercesc/util/TransService.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct UConverter;

class XmlKelTranscoder : public xercesc::XMLTranscoder {
public:
    // A transcoder for the ICU converter `icuName`, or null when ICU cannot open it. `ccsid`, when
    // given, is the host page of that converter: a single-byte page without state is then read
    // through its table.
    static XmlKelTranscoder* create(const XMLCh* encodingName, const char* icuName, XMLSize_t blockSize,
                                    xercesc::MemoryManager* manager = xercesc::XMLPlatformUtils::fgMemoryManager,
                                    int ccsid = 0);
    ~XmlKelTranscoder() override;
    XmlKelTranscoder(const XmlKelTranscoder&) = delete;
    XmlKelTranscoder& operator=(const XmlKelTranscoder&) = delete;

    // Converts whole characters only: bytes of a character cut off by the end of `srcData` are
    // left for the next call (bytesEaten excludes them). charSizes[i] is the number of source
    // bytes that went into toFill[i]; the second unit of a surrogate pair counts 0.
    XMLSize_t transcodeFrom(const XMLByte* const srcData, const XMLSize_t srcCount, XMLCh* const toFill,
                            const XMLSize_t maxChars, XMLSize_t& bytesEaten, unsigned char* const charSizes) override;
    XMLSize_t transcodeTo(const XMLCh* const srcData, const XMLSize_t srcCount, XMLByte* const toFill,
                          const XMLSize_t maxBytes, XMLSize_t& charsEaten, const UnRepOpts options) override;
    bool canTranscodeTo(const unsigned int toCheck) override;

    // Decodes `length` bytes that hold whole characters into `chars`, with the bytes of each
    // code unit in `sizes` (both replaced). False when the bytes are not valid in the code page.
    bool decode(const unsigned char* bytes, std::size_t length, std::vector<char16_t>& chars,
                std::vector<unsigned char>& sizes);

    // Unicode forms whose well-formed input is decoded here, without the converter (which still
    // sees, and rejects, whatever is not well formed).
    enum class Form { Other, Utf8, Utf16Le, Utf16Be };

    // The unit read for each byte of a single-byte page without state (NL already read as a line
    // end), -1 where the converter has to read the byte; null for other pages.
    const std::int32_t* byteUnits() const noexcept { return iByteTable ? iByteUnits : nullptr; }

private:
    XmlKelTranscoder(const XMLCh* encodingName, UConverter* converter, XMLSize_t blockSize,
                     xercesc::MemoryManager* manager);
    // A Unicode form whose converter is opened when first needed.
    XmlKelTranscoder(const XMLCh* encodingName, const char* icuName, Form form, XMLSize_t blockSize,
                     xercesc::MemoryManager* manager);
    // The converter, opened now if it was not yet (a TranscodingException when ICU cannot).
    UConverter* converter();
    // The converter's state as it was before a conversion that has to be taken back.
    void saveState();
    void restoreState();
    // Decodes what the page's own decoding (Unicode forms, the byte table) takes at the start of
    // `src`; 0 when the converter has to read what stands there.
    std::size_t decodeDirect(const unsigned char* src, std::size_t count, XMLCh* out, std::size_t room,
                             unsigned char* sizes, std::size_t& consumed) const;
    // The converter's way, for everything else.
    XMLSize_t transcodeByConverter(const XMLByte* srcData, std::size_t srcCount, XMLCh* toFill, std::size_t room,
                                   XMLSize_t& bytesEaten, unsigned char* charSizes);
    // charSizes from the converter's offsets: `produced` units from `eaten` bytes.
    void sizesFromOffsets(const XMLByte* srcData, std::size_t produced, std::size_t eaten,
                          unsigned char* charSizes) const;

    UConverter* iConverter;    // null until needed for a Unicode form
    std::string iIcuName;      // the converter to open then
    UConverter* iSaved;        // snapshot for stateful code pages (shift states); null otherwise
    bool iStateful;
    bool iShiftCodes;          // stateful EBCDIC: shift-out 0x0E and shift-in 0x0F between characters
    static constexpr unsigned char kShiftOut = 0x0E;
    bool iNewLine;             // EBCDIC: NL (0x15) is read as a line end
    Form iForm;
    bool iByteTable = false;   // iByteUnits holds the page's table
    std::int32_t iByteUnits[256];
    std::vector<std::int32_t> iOffsets;
};

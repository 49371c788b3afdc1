// KelEncodingDetector: finds the ccsid and encoding value of an XML bitstream whose sender did
// not give them, in the order XML itself lays down: a byte-order mark (UTF-8, UTF-16 in either
// byte order; UTF-32 is refused), the first characters "<?xml" in UTF-16 or EBCDIC, then the
// encoding name of the XML declaration looked up among the code-page aliases; UTF-8 otherwise.
// A host that knows the ccsid passes it to the parser instead: a given ccsid always decides.
// Also maps code-page names ("utf-16be", "ibm-037", "cp1047", "shift_jis") to ccsids for
// command lines. Stateless; any thread.
#pragma once

#include <cstddef>
#include <string>

class KelEncodingDetector {
public:
    // Encoding values whose byte-order field says big-endian and little-endian (native) UTF-16.
    static constexpr int kBigEndianEncoding = 273;
    static constexpr int kLittleEndianEncoding = 546;

    enum class Source { ByteOrderMark, Utf16Signature, EbcdicSignature, Declaration, Default };

    struct Result {
        int ccsid = 1208;
        int encoding = kLittleEndianEncoding;
        Source source = Source::Default;
        std::size_t markLength = 0;   // bytes of byte-order mark at the start of the data
        std::string declaredName;     // the declaration's encoding name as written, "" if none
    };

    // Detects the code page of `length` bytes at `data`. Raises KelRecoverableException 2342
    // naming the cause for UTF-32 data and for a declared encoding no supported ccsid answers to.
    static Result detect(const unsigned char* data, std::size_t length);

    // The ccsid for a code-page name, through the converter library's aliases and the host's
    // ccsid table ("iso-8859-1" 819, "cp1047" 1047, "utf-16le" 1200), or for a decimal number;
    // -1 when nothing supported answers to it. Case and '-'/'_' spelling do not matter.
    static int ccsidForName(const std::string& name);
    // The encoding value a name implies for its byte order ("utf-16le" 546, "utf-16be" 273),
    // 0 when the name says nothing about it.
    static int encodingForName(const std::string& name);
    // Whether an encoding value's byte-order field (its low four bits) says big-endian (1) or
    // little-endian (2); any other value names no byte order, and is refused where one is given.
    static bool namesByteOrder(int encoding) noexcept { return (encoding & 0x0F) == 1 || (encoding & 0x0F) == 2; }
    static constexpr const char* kByteOrderRule =
        "the low four bits give the byte order and must be 1 (big-endian, e.g. 273) or 2 (little-endian, e.g. 546)";
};

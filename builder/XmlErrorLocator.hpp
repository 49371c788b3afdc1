// XmlErrorLocator: finds where in a bitstream a parse failure lies, for error reports: the first
// byte sequence that is not valid in the code page, the byte offset of a line and column the
// scanner gives, and the name of a start tag that a place falls inside. It decodes the bytes
// anew with its own strict converter, so it costs nothing until a failure asks for it.
// Borrows the bytes; one object per report, one thread.
#pragma once

#include "host/KelException.hpp"
#include "host/KelStringBase.hpp"


class XmlErrorLocator {
public:
    // `data` is the whole bitstream; the document text starts `markLength` bytes in. For UTF-16
    // pages `bigEndian` gives the byte order.
    XmlErrorLocator(const unsigned char* data, long length, int ccsid, bool bigEndian, long markLength);

    // The place of the first invalid byte sequence; false when every byte decodes.
    bool firstInvalid(KelDocumentPosition& where);
    // The byte offset of `column` on `line` (as the scanner counts them), clamped to the end.
    KelDocumentPosition at(long line, long column);
    // The line and column of the character at byte `offset` of the bitstream (mark included).
    KelDocumentPosition positionOf(long offset);
    // The name of the start tag that the character at `where` lies in, or "" when it lies
    // outside every start tag.
    KelStringBase startTagAround(const KelDocumentPosition& where);

private:
    // Calls `unit(c, byteOffset)` for each UTF-16 code unit of the document text in order, until
    // it returns false; false when decoding stopped at an invalid sequence (iInvalidAt then
    // holds its byte offset). Nothing is kept: a report on a large message costs no memory.
    template <class F> bool forEachUnit(F unit);
    // Whether the text starts with a declaration of XML 1.1, whose line ends include NEL and U+2028.
    bool declaresXml11();
    bool isLineEnd(char16_t c) const noexcept;

    const unsigned char* iData;
    long iLength;
    int iCcsid;
    bool iBigEndian;
    long iMarkLength;
    long iInvalidAt = -1;
    bool iXml11 = false;   // decided before any line is counted
};

// XmlNodeText: decoding a message's stretches for display.
#include "query/XmlNodeText.hpp"

#include "host/KelConverter.hpp"

std::string XmlNodeText::spanText(const unsigned char* message, long messageLength, const unsigned char* begin,
                                  const unsigned char* end, int ccsid, bool bigEndian) {
    const long length = static_cast<long>(end - begin);
    if (ccsid == 1208) {
        // Checked when it was read: its bytes are its text.
        std::string bytes(reinterpret_cast<const char*>(begin), static_cast<std::size_t>(length));
        if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
        return bytes;
    }
    int byteOrder = 0;
    if (KelConverter::isUtf16Ccsid(ccsid)) {
        // The message's byte-order mark, when it has one, says how its text is laid out.
        if (messageLength >= 2 && message[0] == 0xFE && message[1] == 0xFF) bigEndian = true;
        else if (messageLength >= 2 && message[0] == 0xFF && message[1] == 0xFE) bigEndian = false;
        byteOrder = bigEndian ? 1 : -1;
    }
    // As the tree holds it: an EBCDIC page's NL is a line end, not the character U+0085.
    KelStringBase text = KelConverter::setCodepage(ccsid)->toUnicodeAsRead(begin, length, byteOrder);
    if (!text.empty() && text[0] == u'\xFEFF') text.erase(0, 1);
    return text.toUtf8();
}

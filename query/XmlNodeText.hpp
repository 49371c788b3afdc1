// XmlNodeText: the text of a node as people read it, in UTF-8: a stretch of a message's bytes
// decoded (without its byte-order mark). Shared by the command's query printing and the front
// door's xml(); what has no bytes of its own to show is written by the parser's writer.
// Ownership: none (static operations on their arguments). Thread rules: those of the tree read.
#pragma once

#include <string>

class XmlNodeText {
public:
    // The bytes [begin, end) of a message (whose whole text starts at `message`, `messageLength`
    // bytes) written in `ccsid`, as UTF-8. UTF-16 is read in the order the message's byte-order
    // mark gives, else as `bigEndian` says; a byte-order mark at the start is left out.
    static std::string spanText(const unsigned char* message, long messageLength, const unsigned char* begin,
                                const unsigned char* end, int ccsid, bool bigEndian);
};

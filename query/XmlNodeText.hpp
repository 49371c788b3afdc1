// XmlNodeText: the text of a node as people read it, in UTF-8: a stretch of a message's bytes
// decoded (without its byte-order mark), and the XML of an element built from the names and
// values of the tree, for elements that have no bytes of their own to show. Shared by the
// command's query printing and the front door's xml().
// Ownership: none (static operations on their arguments). Thread rules: those of the tree read.
#pragma once

#include <functional>
#include <string>

class KelSyntaxElement;

class XmlNodeText {
public:
    // Appends the text of the element at `element` and all it holds to `out`, walking by links so
    // that any depth writes. Each element below the top is first offered to `copy`, which may
    // append the element's own text and return true; otherwise it is built from its name,
    // attributes and children. An element without content is written as `<a/>`, or as `<a></a>`
    // with `emptyAsPair`.
    using Copy = std::function<bool(KelSyntaxElement*, std::string&)>;
    static void appendMarkup(KelSyntaxElement* element, std::string& out, bool emptyAsPair,
                             const Copy& copy = Copy());

    // The bytes [begin, end) of a message (whose whole text starts at `message`, `messageLength`
    // bytes) written in `ccsid`, as UTF-8. UTF-16 is read in the order the message's byte-order
    // mark gives, else as `bigEndian` says; a byte-order mark at the start is left out.
    static std::string spanText(const unsigned char* message, long messageLength, const unsigned char* begin,
                                const unsigned char* end, int ccsid, bool bigEndian);
};

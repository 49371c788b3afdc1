// MatchPrinter: prints the nodes a path query selects, as UTF-8 lines: an element as its XML,
// copied from its original bytes (converted from the message's code page) and written as
// markup only when it has none; the document node as the whole message; attributes, text,
// comments and processing instructions as their values. Borrows the stream, the inspector and
// the message bytes. One thread.
#pragma once

#include "query/XmlPathQuery.hpp"

#include <cstdio>
#include <string>

class KelBuffer;
class KelParserInspector;

class MatchPrinter {
public:
    MatchPrinter(std::FILE* out, const KelParserInspector& inspector, const KelBuffer& input, int ccsid)
        : iOut(out), iInspector(inspector), iInput(input), iCcsid(ccsid) {}

    // Writes the match and a newline; false when the stream failed.
    bool print(const XmlPathQuery::Match& match);
    // The text print() would write, without the newline.
    std::string text(const XmlPathQuery::Match& match);

private:
    std::string spanText(const unsigned char* begin, const unsigned char* end, int ccsid, bool bigEndian) const;
    void markup(KelSyntaxElement* element, std::string& out);

    std::FILE* iOut;
    const KelParserInspector& iInspector;
    const KelBuffer& iInput;
    int iCcsid;
};

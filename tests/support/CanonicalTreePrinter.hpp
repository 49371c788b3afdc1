// CanonicalTreePrinter: prints an XML-domain tree in the conformance suite's second canonical
// form (UTF-8): notation declarations in a document type declaration, processing instructions
// and the document element, attributes sorted by name, character data escaped, no comments, no
// XML declaration and no white space outside the document element. Walking the tree parses it
// on demand, so parse errors reach the caller. Stateless.
#pragma once

#include <string>

class KelSyntaxElement;

class CanonicalTreePrinter {
public:
    static std::string print(KelSyntaxElement* root);
};

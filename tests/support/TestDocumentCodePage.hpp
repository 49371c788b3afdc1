// TestDocumentCodePage: the ccsid and encoding value a host would give a test document read from
// a file, found the way a reader finds a document's encoding: a byte-order mark, the first bytes
// of UTF-16 text, or the encoding named in the XML declaration. Stateless.
#pragma once

#include <string>

struct TestDocumentCodePage {
    int ccsid = 0;
    int encoding = 546;
    std::string name;    // the encoding as the document names it (for reports)

    static TestDocumentCodePage of(const std::string& bytes);
};

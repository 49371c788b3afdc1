// PageHint: what a message's bytes look like when they fail to read as UTF-8 (the page quarn
// assumes when nothing names one), so that an error can say which --ccsid reads them: UTF-16
// without a byte-order mark, an EBCDIC page, or a single-byte PC page such as Latin-1. A guess from
// the bytes, offered beside the error, never acted on. Stateless; any thread.
#pragma once

#include <cstddef>
#include <string>

class PageHint {
public:
    // The advice for bytes read as `ccsid` that failed with a scanner error, or "" when they look
    // like what they were read as (or like nothing better).
    static std::string forBytes(const unsigned char* data, std::size_t length, int ccsid);
};

// LibxmlCanonicalReader: reads XML bytes with libxml2, a reader independent of quarn, the way any
// consumer would (the encoding from the bytes' own byte-order mark and declaration; no network,
// no external entity or subset loaded; internal entities replaced and attribute defaults from the
// internal subset applied), and gives the canonical form (C14N 1.0 with comments) of what it read.
// A reference to an entity declared nowhere that is read stands as <?unexpanded-entity name?>.
// Owns nothing beyond the returned values. Thread rules: any thread; libxml2 is initialised once
// and reads are taken one at a time.
#pragma once

#include <string>

struct LibxmlReading {
    bool ok = false;
    bool wellFormed = false;   // libxml2 read it (C14N may still refuse it: relative namespace URIs)
    std::string canonical;   // UTF-8, when ok
    std::string error;       // what libxml2 said, when not ok
    int unexpandedReferences = 0;   // references to entities declared nowhere that is read
};

class LibxmlCanonicalReader {
public:
    // `encodingName` null: the bytes say their own encoding. Otherwise libxml2 is told that
    // encoding, as a host that chose the page would tell its consumer.
    static LibxmlReading read(const std::string& bytes, const char* encodingName = nullptr);
    // libxml2 turns a carriage return that an entity's text holds as a character reference into
    // a line feed: whether `got` differs from `expected` (both canonical) by that alone.
    static bool differsOnlyByEntityCarriageReturns(const std::string& expected, const std::string& got);
    // libxml2, reading namespaces, does not match an attribute whose name is no qualified name
    // (`t:`) with the default the document type declares for it, and reports both: whether `got`
    // differs from `expected` (both canonical) by such repeated attributes alone.
    static bool differsOnlyByRepeatedAttributes(const std::string& expected, const std::string& got);
};

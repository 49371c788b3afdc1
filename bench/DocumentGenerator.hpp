// DocumentGenerator: makes the message documents the benchmarks run on, at benchmark time:
// a batch of nested order records with attributes in both quote styles, text, CDATA sections,
// comments, character and entity references and indentation, in UTF-8, UTF-16LE with a
// byte-order mark, or EBCDIC 37 (every character of the records is in that page). The same seed and size give the same bytes. Owns nothing; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class DocumentGenerator {
public:
    enum class Encoding { Utf8, Utf16Le, Ebcdic37 };

    explicit DocumentGenerator(std::uint64_t seed = 1) : iState(seed ? seed : 1) {}

    // A well-formed document of at least `targetBytes` bytes in UTF-8 (it stops after the record
    // that reaches the size, so it is at most one record longer).
    std::string utf8Document(std::size_t targetBytes);
    // A message of about `targetBytes` bytes in UTF-8 as a broker carries one: an XML declaration
    // and the same records, without a document type (so without its entity).
    std::string utf8Message(std::size_t targetBytes);
    // The same document in `encoding`; for UTF-16LE with a byte-order mark and a declaration that
    // says UTF-16, for EBCDIC 37 with one that says IBM037 (the same records, one byte each).
    std::string document(std::size_t targetBytes, Encoding encoding);

    // UTF-8 to UTF-16LE bytes (no mark). The input must be valid UTF-8.
    static std::string utf8ToUtf16Le(const std::string& utf8);
    // Text of the deep attribute that the edit workload changes: in the last record written.
    static const char* deepAttributeName() { return "qty"; }

private:
    std::uint32_t next();
    std::uint32_t below(std::uint32_t bound) { return next() % bound; }
    void appendRecord(std::string& out, unsigned index, bool entity = true);

    std::uint64_t iState;
};

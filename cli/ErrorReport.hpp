// ErrorReport: tells a person (or a program) what went wrong with a message and where:
// "FILE:LINE:COLUMN: what (byte offset N, element E)" with the source line and a caret under the
// fault, the whole message chain with numbers and inserts when asked (--verbose), or one JSON
// object per failure (--error-format json). The document in hand is registered by whoever reads
// it, so a failure that surfaces later still knows its file and bytes. Thread rules: the
// registered document is per thread.
#pragma once

#include "host/KelBuffer.hpp"

#include <cstdio>
#include <string>

class KelException;

class ErrorReport {
public:
    enum class Format { Text, Json };

    // The message being read on this thread: its file name ("-" for standard input), bytes and
    // code page (-1 while unknown). Bytes are shared, not copied.
    static void setDocument(const std::string& file, const KelBuffer& bytes, int ccsid, int encoding);
    static void clearDocument();

    // Writes the report of `failure` to `out`.
    static void print(std::FILE* out, const KelException& failure, Format format, bool verbose);

    // The report's parts, for tests and other front ends.
    static std::string text(const KelException& failure, bool verbose);
    static std::string json(const KelException& failure);
    // The source line around byte `offset` (UTF-8) and the caret line under its character.
    static bool sourceLine(const KelBuffer& bytes, int ccsid, int encoding, long offset, std::string& line,
                           std::string& caret);
    // The scanner's words, made plain where they are cryptic ("NUL character" for 0x0).
    static std::string plainText(const KelException& failure);
    // Which --ccsid may read a message that failed as UTF-8, when its bytes say (PageHint); "".
    static std::string hint(const KelException& failure);
};

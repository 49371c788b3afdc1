// InputFile: reads a message for the quarn command. A file is mapped into memory (no copy: the
// parser keeps the mapping alive through the KelBuffer for as long as spans point into it);
// "-" reads standard input. Not thread-bound; the returned buffer is a shared value.
#pragma once

#include "host/KelBuffer.hpp"

#include <string>

class InputFile {
public:
    // The bytes of `path`, or of standard input for "-". Throws std::runtime_error with a
    // readable message when the file cannot be read.
    static KelBuffer read(const std::string& path);
};

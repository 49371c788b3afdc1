// InputFile: reads a message for the quarn command. A file is mapped into memory (no copy: the
// parser keeps the mapping alive through the KelBuffer for as long as spans point into it);
// "-" reads standard input. A mapped file that shrinks while it is read does not end the process
// (see host/KelMappedFile). Not thread-bound; the returned buffer is a shared value.
#pragma once

#include "host/KelBuffer.hpp"

#include <cstddef>
#include <string>

class InputFile {
public:
    // The most standard input may hold; a file is mapped, not held, and has no limit of its own.
    static constexpr std::size_t kStandardInputLimit = std::size_t{1} << 30;
    // The bytes of `path`, or of standard input for "-". Throws std::runtime_error with a
    // readable message when the file cannot be read or standard input holds more than the limit.
    static KelBuffer read(const std::string& path);
    // True when the file of `bytes` shrank while it was mapped: the bytes it lost read as
    // zeros, and nothing made from them may be trusted.
    static bool changedWhileRead(const KelBuffer& bytes) noexcept;
};

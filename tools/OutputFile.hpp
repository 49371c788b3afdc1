// OutputFile: writes a file whole or not at all: the bytes go to a temporary name in the same
// folder, which is renamed over the target only when everything was written. A failure removes
// the temporary file, so a reader never sees a partial file. Stateless; any thread (temporary
// names are unique per process and call).
#pragma once

#include <cstddef>
#include <string>

class OutputFile {
public:
    // Throws std::runtime_error naming the file when it cannot be written.
    static void write(const std::string& path, const unsigned char* data, std::size_t length);
};

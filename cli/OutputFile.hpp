// OutputFile: the quarn command's way to write a file whole or not at all (KelOutputFile), with
// each temporary file listed in TemporaryFiles so that SIGINT and SIGTERM remove it.
// Stateless; any thread.
#pragma once

#include "host/KelOutputFile.hpp"

#include <cstddef>
#include <string>

class OutputFile : public KelOutputFile {
public:
    // Throws Failure naming the file when it cannot be written.
    static void write(const std::string& path, const unsigned char* data, std::size_t length);
};

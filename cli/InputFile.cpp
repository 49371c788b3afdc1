#include "cli/InputFile.hpp"

#include "host/KelMappedFile.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace {
std::runtime_error failure(const std::string& path, const char* what) {
    return std::runtime_error("cannot read " + path + ": " + what);
}
} // namespace

KelBuffer InputFile::read(const std::string& path) {
    if (path == "-") {
        // Standard input is held in memory whole, so an endless one (/dev/zero, a runaway producer)
        // would take memory until the system ended the process: it is refused once it passes the limit.
        std::vector<unsigned char> bytes;
        unsigned char chunk[65536];
        std::size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, stdin)) > 0) {
            if (n > kStandardInputLimit - bytes.size())
                throw failure(path, ("standard input holds more than " + std::to_string(kStandardInputLimit >> 30) +
                                     " GiB; give a larger message as a file")
                                        .c_str());
            bytes.insert(bytes.end(), chunk, chunk + n);
        }
        if (std::ferror(stdin)) throw failure(path, std::strerror(errno));
        return KelBuffer::adopt(std::move(bytes));
    }
    return KelMappedFile::map(path);
}

bool InputFile::changedWhileRead(const KelBuffer& bytes) noexcept {
    return KelMappedFile::changed(bytes);
}

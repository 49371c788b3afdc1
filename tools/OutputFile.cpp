#include "tools/OutputFile.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <unistd.h>

void OutputFile::write(const std::string& path, const unsigned char* data, std::size_t length) {
    static std::atomic<unsigned long> counter{0};
    const std::string temp = path + ".quarn-tmp-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot create " + temp + ": " + std::strerror(errno));
    bool ok = std::fwrite(data, 1, length, f) == length && std::fflush(f) == 0;
    ok = (std::fclose(f) == 0) && ok;
    if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        std::remove(temp.c_str());
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(err));
    }
}

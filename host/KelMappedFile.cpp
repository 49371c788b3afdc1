// KelMappedFile: mapping a file read-only, guarded against the file shrinking.
#include "host/KelMappedFile.hpp"

#include "host/KelMappedPageGuard.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
struct Mapping {
    Mapping(void* a, std::size_t n) : address(a), length(n), guard(KelMappedPageGuard::hold(a, n)) {}
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() {
        KelMappedPageGuard::release(guard);
        munmap(address, length);
    }
    void* address;
    std::size_t length;
    int guard;
};

std::runtime_error failure(const std::string& path, const char* what) {
    return std::runtime_error("cannot read " + path + ": " + what);
}
} // namespace

KelBuffer KelMappedFile::map(const std::string& path) {
    // Without waiting: opening a pipe for reading waits for a writer, and a pipe is refused below.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throw failure(path, std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        throw failure(path, std::strerror(err));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        // A pipe or a device has no end to map (and may have none at all, as /dev/zero): the
        // caller that reads a stream reads standard input.
        throw failure(path, S_ISDIR(st.st_mode) ? "is a directory"
                                                : "not a regular file (a pipe, socket or device); give it on standard input");
    }
    if (st.st_size == 0) {
        // A file that says it is empty may still have bytes to read (those of /proc and /sys).
        std::vector<unsigned char> bytes;
        unsigned char chunk[65536];
        ssize_t n;
        while ((n = ::read(fd, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR))
            if (n > 0) bytes.insert(bytes.end(), chunk, chunk + n);
        const int err = errno;
        ::close(fd);
        if (n < 0) throw failure(path, std::strerror(err));
        return KelBuffer::adopt(std::move(bytes));
    }
    void* address = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    int err = errno;
    ::close(fd);
    if (address == MAP_FAILED) throw failure(path, std::strerror(err));
    auto mapping = std::make_shared<Mapping>(address, static_cast<std::size_t>(st.st_size));
    return KelBuffer::share(mapping, static_cast<const unsigned char*>(address), static_cast<long>(st.st_size));
}

bool KelMappedFile::changed(const KelBuffer& bytes) noexcept {
    return bytes.length() > 0 && KelMappedPageGuard::changed(bytes.data());
}

void KelMappedFile::throwIfChanged(const unsigned char* bytes, const std::string& path) {
    if (bytes != nullptr && KelMappedPageGuard::changed(bytes))
        throw failure(path, "the file changed while it was read");
}

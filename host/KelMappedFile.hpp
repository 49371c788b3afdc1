// KelMappedFile: a file's bytes as a bitstream without a copy. A regular file is mapped
// read-only; the mapping lives as long as any copy of the returned KelBuffer (so as long as a
// parser's spans point into it), and a file that shrinks while it is read does not end the
// process: its lost bytes read as zeros and changed() says so (KelMappedPageGuard). Used by the
// quarn command and by quarn::Document::open alike. No state of its own; any thread.
#pragma once

#include "host/KelBuffer.hpp"

#include <string>
#include <type_traits>

class KelMappedFile {
public:
    // The bytes of the regular file at `path` (an empty buffer for an empty file). Throws
    // std::runtime_error "cannot read PATH: REASON" when it cannot be opened or mapped, or is not
    // a regular file.
    static KelBuffer map(const std::string& path);
    // True when the file behind `bytes` shrank while it was mapped: the bytes it lost read as
    // zeros, and nothing made from them may be trusted.
    static bool changed(const KelBuffer& bytes) noexcept;
    // Throws std::runtime_error "cannot read PATH: the file changed while it was read" when the
    // mapped file holding `bytes` lost bytes (nothing for bytes that are no file's).
    static void throwIfChanged(const unsigned char* bytes, const std::string& path);
    // Runs `read`, which reads `bytes`: when their file lost bytes meanwhile, that is the fault
    // reported, whatever `read` returned or raised (a parse error from the lost bytes is none of
    // the message's).
    template <class Read>
    static decltype(auto) whileKept(const unsigned char* bytes, const std::string& path, Read&& read) {
        try {
            if constexpr (std::is_void_v<std::invoke_result_t<Read&>>) {
                read();
                throwIfChanged(bytes, path);
            } else {
                auto result = read();
                throwIfChanged(bytes, path);
                return result;
            }
        } catch (...) {
            throwIfChanged(bytes, path);
            throw;
        }
    }
};

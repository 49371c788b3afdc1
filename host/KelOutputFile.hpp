// KelOutputFile: writes a file whole or not at all. A regular file (or a new one) is replaced by a
// temporary file in the same folder that gets the original's mode and, where permitted, owner,
// is flushed to disk and then renamed over it, so a reader never sees a partial file; a failure
// removes the temporary file. Anything else (a device, a FIFO) is written into as it is, never
// replaced. A symbolic link is followed to the file it names. The quarn command's files and
// quarn::Document::save go through it alike.
// Stateless; any thread (temporary names are unique per process and call).
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

class KelOutputFile {
public:
    // An output that could not be written (the quarn command's exit status 5).
    class Failure : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    // Told of each temporary file before it is created and after it is renamed or removed, so that
    // a program may remove it should it be ended in between (the command does, on SIGINT and
    // SIGTERM; a library a host loads does not).
    class Watch {
    public:
        virtual int hold(const std::string& path) = 0;   // a slot for release(), or -1
        virtual void release(int slot) noexcept = 0;
    protected:
        ~Watch() = default;
    };

    // Every temporary name quarn makes starts with this (after a '.', so folder listings and
    // batch runs pass over it): ".quarn-tmp-".
    static const char* const kTemporaryMarker;

    // Throws Failure naming the file when it cannot be written.
    static void write(const std::string& path, const unsigned char* data, std::size_t length, Watch* watch = nullptr);
    // The path a chain of symbolic links at `path` ends in (`path` itself when it is none).
    static std::string followLinks(const std::string& path);

    // ---- What every writer of the command's files shares.
    // "cannot WHAT PATH: the error's text".
    static Failure failure(const std::string& what, const std::string& path, int err);
    // Writes all of [data, data + length) to `fd`, going on after interrupted writes; false (errno
    // set) on any other failure.
    static bool writeAll(int fd, const unsigned char* data, std::size_t length);
    // The folder that holds `path` ("." for a plain name).
    static std::string folderOf(const std::string& path);
};

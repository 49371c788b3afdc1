#include "cli/OutputFile.hpp"

#include "cli/TemporaryFiles.hpp"

namespace {
// The command's list of temporary files, which its signal handlers remove.
class SignalWatch : public KelOutputFile::Watch {
public:
    int hold(const std::string& path) override { return TemporaryFiles::hold(path); }
    void release(int slot) noexcept override { TemporaryFiles::release(slot); }
};
} // namespace

void OutputFile::write(const std::string& path, const unsigned char* data, std::size_t length) {
    SignalWatch watch;
    KelOutputFile::write(path, data, length, &watch);
}

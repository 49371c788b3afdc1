#include "tools/BatchRunner.hpp"

#include "host/KelException.hpp"
#include "tools/OutputFile.hpp"
#include "tools/QuarnMessage.hpp"
#include "tools/QuarnOptions.hpp"
#include "tools/TemporaryFiles.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>

namespace {
std::vector<std::string> messageFiles(const std::string& folder) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
    if (!dir) throw std::runtime_error("cannot read folder " + folder + ": " + std::strerror(errno));
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir.get())) {
        std::string name = entry->d_name;
        // Hidden files, and quarn's own temporary files wherever a run left them, are no messages.
        if (name.empty() || name[0] == '.' || TemporaryFiles::isTemporaryName(name)) continue;
        struct stat st {};
        if (::stat((folder + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void makeFolder(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) throw std::runtime_error(folder + " is not a folder");
        return;
    }
    if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot make folder " + folder + ": " + std::strerror(errno));
}

struct Outcome {
    bool ok = false;
    unsigned long long bytesIn = 0;
    unsigned long long bytesOut = 0;
    std::string error;
};

Outcome processOne(const QuarnOptions& options, const std::string& in, const std::string& out) {
    Outcome r;
    std::unique_ptr<QuarnMessage> held;
    try {
        held = std::make_unique<QuarnMessage>(options, in, options.spanReuse);
        QuarnMessage& message = *held;
        r.bytesIn = static_cast<unsigned long long>(message.input().length());
        message.applyEdits();
        message.write();
        message.checkInput();
        const KelWriteBuffer& buffer = message.output();
        OutputFile::write(out, buffer.data(), static_cast<std::size_t>(buffer.used()));
        r.bytesOut = static_cast<unsigned long long>(buffer.used());
        r.ok = true;
    } catch (const KelException& e) {
        r.error = e.what();
    } catch (const std::bad_alloc&) {
        r.error = "out of memory";
    } catch (const std::exception& e) {
        r.error = e.what();
    }
    // A file that shrank while it was read explains whatever else went wrong with it.
    if (!r.ok && held && held->inputChanged()) r.error = "cannot read " + in + ": the file shrank while it was read";
    return r;
}
} // namespace

unsigned BatchRunner::defaultJobs() {
    unsigned n = std::thread::hardware_concurrency();
    return n ? n : 1;
}

BatchRunner::Summary BatchRunner::run(const std::string& inputFolder, const std::string& outputFolder) {
    const auto start = std::chrono::steady_clock::now();
    const std::vector<std::string> files = messageFiles(inputFolder);
    makeFolder(outputFolder);

    std::vector<Outcome> outcomes(files.size());
    std::atomic<std::size_t> next{0};
    std::mutex progressMutex;
    unsigned long done = 0, failed = 0;
    auto worker = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < files.size();) {
            outcomes[i] = processOne(iOptions, inputFolder + "/" + files[i], outputFolder + "/" + files[i]);
            std::lock_guard<std::mutex> lock(progressMutex);
            ++done;
            if (!outcomes[i].ok) ++failed;
            showProgress(done, files.size(), failed, false);
        }
    };
    const unsigned wanted = iOptions.jobs > 0 ? static_cast<unsigned>(iOptions.jobs) : defaultJobs();
    const std::size_t threads = std::max<std::size_t>(1, std::min<std::size_t>(wanted, files.size()));
    std::vector<std::thread> pool;
    for (std::size_t t = 1; t < threads; ++t) pool.emplace_back(worker);
    worker();
    for (std::thread& t : pool) t.join();
    showProgress(done, files.size(), failed, true);

    Summary s;
    s.messages = files.size();
    for (std::size_t i = 0; i < files.size(); ++i) {
        s.bytesIn += outcomes[i].bytesIn;
        if (outcomes[i].ok) {
            ++s.written;
            s.bytesOut += outcomes[i].bytesOut;
        } else {
            s.failures.push_back({files[i], outcomes[i].error});
        }
    }
    s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return s;
}

void BatchRunner::showProgress(unsigned long done, unsigned long total, unsigned long failed, bool last) {
    if (!iShowProgress) return;
    constexpr int kWidth = 30;
    const int filled = total ? static_cast<int>(kWidth * done / total) : kWidth;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kWidth, '.');
    std::fprintf(iProgress, "\r[%s] %lu/%lu messages, %lu failed", bar.c_str(), done, total, failed);
    if (last) std::fputc('\n', iProgress);
    std::fflush(iProgress);
}

void BatchRunner::printSummary(std::FILE* out, const Summary& s) {
    std::fprintf(out, "batch: %lu messages, %lu written, %zu failed\n", s.messages, s.written, s.failures.size());
    std::fprintf(out, "bytes: %llu in, %llu out\n", s.bytesIn, s.bytesOut);
    const double seconds = s.seconds > 0 ? s.seconds : 1e-9;
    std::fprintf(out, "time: %.3f s, %.1f messages/s, %.2f MB/s in\n", s.seconds, s.messages / seconds,
                 static_cast<double>(s.bytesIn) / 1e6 / seconds);
    for (const Failure& f : s.failures) {
        // The causes follow on their own indented lines, as the message gives them.
        std::fprintf(out, "failed: %s: %s\n", f.file.c_str(), f.message.c_str());
    }
}

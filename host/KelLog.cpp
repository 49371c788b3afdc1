#include "host/KelLog.hpp"

#include "host/KelException.hpp"
#include "host/KelOwnedLogSource.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

std::atomic<int> KelLog::iEffectiveLogFilter{0};
const char* const KelLog::iDefaultLogSource = "quarn";

namespace {
std::mutex& fileMutex() {
    static std::mutex m;
    return m;
}
// Owned by fileMutex; null means standard error.
std::FILE*& traceFile() {
    static std::FILE* f = nullptr;
    return f;
}

// Reads the environment once when the library is loaded, so a host can switch tracing on
// without code.
struct EnvironmentConfig {
    EnvironmentConfig() { KelLog::configureFromEnvironment(); }
} gEnvironmentConfig;

std::string timestamp() {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t t = system_clock::to_time_t(now);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[96];
    auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
    return buf;
}

std::string header(const KelOwnedLogSource* source, const char* function, const char* kind) {
    std::string line = timestamp();
    char tid[32];
    std::snprintf(tid, sizeof tid, " %08zx ", std::hash<std::thread::id>()(std::this_thread::get_id()) & 0xffffffffu);
    line += tid;
    line += source ? source->logName() : std::string(KelLog::iDefaultLogSource);
    line += ' ';
    line += kind;
    line += ' ';
    line += function ? function : "";
    return line;
}
} // namespace

bool KelLog::setFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(fileMutex());
    std::FILE*& f = traceFile();
    if (f) {
        std::fclose(f);
        f = nullptr;
    }
    if (!path.empty()) f = std::fopen(path.c_str(), "a");
    return path.empty() || f != nullptr;
}

void KelLog::configureFromEnvironment() {
    // Nobody can be told by a return value here: the lines that would have gone to the file go
    // to standard error, after one line that says why.
    if (const char* file = std::getenv("QUARN_TRACE_FILE"); file != nullptr && !setFile(file))
        std::fprintf(stderr, "quarn: cannot open the trace file %s (QUARN_TRACE_FILE): %s; tracing to standard error\n",
                     file, std::strerror(errno));
    if (const char* level = std::getenv("QUARN_TRACE_LEVEL")) setLevel(std::atoi(level));
}

void KelLog::writeLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(fileMutex());
    std::FILE* f = traceFile() ? traceFile() : stderr;
    std::fwrite(line.data(), 1, line.size(), f);
    std::fputc('\n', f);
    std::fflush(f);
}

void KelLog::writeEntry(const KelOwnedLogSource* source, const char* function) {
    if (isTraceActive()) Item(source, function, "Entry", nullptr).writeToFile();
}

void KelLog::writeExit(const KelOwnedLogSource* source, const char* function) {
    if (isTraceActive()) Item(source, function, "Exit", nullptr).writeToFile();
}

void KelLog::writeDebugExit(const KelOwnedLogSource* source, const char* function) {
    if (isDebugActive()) Item(source, function, "DebugExit", nullptr).writeToFile();
}

KelLog::Item::Item(const KelOwnedLogSource* source, const char* function, const char* kind, const char* text)
    : iLine(header(source, function, kind)) {
    if (text) {
        iLine += " \"";
        iLine += text;
        iLine += '"';
    }
}

KelLog::Item::~Item() {
    if (!iWritten) writeToFile();
}

void KelLog::Item::writeToFile() {
    iWritten = true;
    writeLine(iLine);
}

KelLog::Item& KelLog::Item::operator<<(const char* text) {
    iLine += " | ";
    iLine += text ? text : "";
    return *this;
}
KelLog::Item& KelLog::Item::operator<<(const std::string& text) { return *this << text.c_str(); }
KelLog::Item& KelLog::Item::operator<<(const KelStringBase& text) { return *this << text.toUtf8(); }
KelLog::Item& KelLog::Item::operator<<(int value) { return *this << std::to_string(value); }
KelLog::Item& KelLog::Item::operator<<(unsigned value) { return *this << std::to_string(value); }
KelLog::Item& KelLog::Item::operator<<(long value) { return *this << std::to_string(value); }
KelLog::Item& KelLog::Item::operator<<(unsigned long value) { return *this << std::to_string(value); }
KelLog::Item& KelLog::Item::operator<<(long long value) { return *this << std::to_string(value); }
KelLog::Item& KelLog::Item::operator<<(unsigned long long value) { return *this << std::to_string(value); }
KelLog::Item& KelLog::Item::operator<<(double value) { return *this << std::to_string(value); }
KelLog::Item& KelLog::Item::operator<<(bool value) { return *this << (value ? "true" : "false"); }
KelLog::Item& KelLog::Item::operator<<(const void* pointer) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", pointer);
    return *this << buf;
}
KelLog::Item& KelLog::Item::operator<<(const KelException& nested) {
    iLine += " | {";
    iLine += nested.summary();
    iLine += '}';
    return *this;
}

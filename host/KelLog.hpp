// KelLog: the process-wide trace. One level for the process (0 off, 3 entry/exit/trace items,
// 4 also debug items) and one file; each item is one line. Callers test the level before they
// build any text (the item classes only exist while tracing is on). The level and file come
// from QUARN_TRACE_LEVEL and QUARN_TRACE_FILE at load, or from setLevel/setFile.
// Thread rules: any thread may trace; lines are written whole under a lock.
#pragma once

#include "host/KelStringBase.hpp"

#include <atomic>
#include <cstdint>
#include <string>

class KelOwnedLogSource;
class KelException;

class KelLog {
public:
    static std::atomic<int> iEffectiveLogFilter;
    static const char* const iDefaultLogSource;   // "quarn"

    static bool isTraceActive() noexcept { return iEffectiveLogFilter.load(std::memory_order_relaxed) >= 3; }
    static bool isDebugActive() noexcept { return iEffectiveLogFilter.load(std::memory_order_relaxed) >= 4; }
    static void setLevel(int level) noexcept { iEffectiveLogFilter.store(level, std::memory_order_relaxed); }
    // Sends trace lines to `path` (appending); empty path means standard error. False when
    // `path` cannot be opened (errno says why): the lines then go to standard error.
    static bool setFile(const std::string& path);
    static void configureFromEnvironment();

    static void writeEntry(const KelOwnedLogSource* source, const char* function);
    static void writeExit(const KelOwnedLogSource* source, const char* function);
    static void writeDebugExit(const KelOwnedLogSource* source, const char* function);

    // One trace line under construction; inserts are appended with <<, and the line is written
    // by writeToFile() or, if that was not called, when the item is destroyed.
    class Item {
    public:
        Item(const KelOwnedLogSource* source, const char* function, const char* kind, const char* text);
        Item(const Item&) = delete;
        Item& operator=(const Item&) = delete;
        ~Item();
        Item& operator<<(const char* text);
        Item& operator<<(const std::string& text);
        Item& operator<<(const KelStringBase& text);
        Item& operator<<(int value);
        Item& operator<<(unsigned value);
        Item& operator<<(long value);
        Item& operator<<(unsigned long value);
        Item& operator<<(long long value);
        Item& operator<<(unsigned long long value);
        Item& operator<<(double value);
        Item& operator<<(bool value);
        Item& operator<<(const void* pointer);
        Item& operator<<(const KelException& nested); // as a nested complex item
        void writeToFile();
    private:
        std::string iLine;
        bool iWritten = false;
    };
    class EntryItem : public Item {
    public:
        EntryItem(const KelOwnedLogSource* source, const char* function) : Item(source, function, "Entry", nullptr) {}
    };
    class DebugEntryItem : public Item {
    public:
        DebugEntryItem(const KelOwnedLogSource* source, const char* function) : Item(source, function, "DebugEntry", nullptr) {}
    };
    class TraceItem : public Item {
    public:
        TraceItem(const KelOwnedLogSource* source, const char* function, const char* text) : Item(source, function, "Trace", text) {}
        TraceItem(const char* function, const char* text) : Item(nullptr, function, "Trace", text) {}
    };
    class DebugItem : public Item {
    public:
        DebugItem(const KelOwnedLogSource* source, const char* function, const char* text) : Item(source, function, "Debug", text) {}
    };

    static void writeLine(const std::string& line);
};

// Entry on construction and exit on destruction, both only when the level allows; the inserts
// are references, so nothing is formatted while tracing is off.
class KelTraceScope {
public:
    template <class... Inserts>
    KelTraceScope(const KelOwnedLogSource* source, const char* function, const Inserts&... inserts)
        : iSource(source), iFunction(function), iActive(KelLog::isTraceActive()) {
        if (iActive) { KelLog::EntryItem item(source, function); (void)(item << ... << inserts); }
    }
    ~KelTraceScope() { if (iActive) KelLog::writeExit(iSource, iFunction); }
    KelTraceScope(const KelTraceScope&) = delete;
    KelTraceScope& operator=(const KelTraceScope&) = delete;
private:
    const KelOwnedLogSource* iSource;
    const char* iFunction;
    bool iActive;
};

// The same for debug items (level 4).
class KelDebugTraceScope {
public:
    template <class... Inserts>
    KelDebugTraceScope(const KelOwnedLogSource* source, const char* function, const Inserts&... inserts)
        : iSource(source), iFunction(function), iActive(KelLog::isDebugActive()) {
        if (iActive) { KelLog::DebugEntryItem item(source, function); (void)(item << ... << inserts); }
    }
    ~KelDebugTraceScope() { if (iActive) KelLog::writeDebugExit(iSource, iFunction); }
    KelDebugTraceScope(const KelDebugTraceScope&) = delete;
    KelDebugTraceScope& operator=(const KelDebugTraceScope&) = delete;
private:
    const KelOwnedLogSource* iSource;
    const char* iFunction;
    bool iActive;
};

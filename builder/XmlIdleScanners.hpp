// XmlIdleScanners: the scanner objects a thread's finished scans left behind, kept for the next
// scan made on that thread, so that a new parser does not build the scanner library's objects
// again nor tear them down with every message. A thread keeps at most two sets.
// Ownership: owns the idle sets until they are taken; a thread's sets are freed when it ends, and
// every thread's when this library is unloaded (or the process ends). Nothing is held through a
// thread-local object with a destructor, which would keep the library mapped after its unloading.
// Thread rules: any thread; each call concerns the calling thread's sets only.
#pragma once

#include <cstddef>
#include <memory>

class XmlScannerObjects;

class XmlIdleScanners {
public:
    XmlIdleScanners() = delete;

    // Sets one thread keeps at most; more are freed at once.
    static constexpr std::size_t kPerThread = 2;

    // An idle set of the calling thread (the one kept last), or null when it has none.
    static std::unique_ptr<XmlScannerObjects> take() noexcept;
    // Keeps `objects` for the calling thread's next scan. They must have no input, no scan in
    // progress, and no handlers, meter or log of the scan that gave them back.
    static void keep(std::unique_ptr<XmlScannerObjects> objects) noexcept;
    // The calling thread's idle sets.
    static std::size_t count() noexcept;
};

// XmlIdleScanners: each thread's idle scanner objects, on a shelf found through a thread key.
#include "builder/XmlIdleScanners.hpp"

#include "builder/XmlScannerObjects.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <pthread.h>
#include <thread>
#include <vector>

namespace {

// One thread's idle sets. Only that thread touches it, until it ends or the library goes.
struct Shelf {
    XmlScannerObjects* sets[XmlIdleScanners::kPerThread] = {};
    std::size_t count = 0;

    ~Shelf() {
        for (std::size_t i = 0; i < count; ++i) delete sets[i];
    }
};

void threadEnded(void* shelf) noexcept;

// Every thread's shelf. Made at the first scan that asks for one, so it is released before what
// the library made at its loading (the scanner library's initialisation goes last); its release
// frees every idle set and deletes the key, so no thread's end calls into an unloaded library.
class Shelves {
public:
    Shelves() noexcept { iReady = pthread_key_create(&iKey, &threadEnded) == 0; }
    ~Shelves() {
        gClosed.store(true);
        if (!iReady) return;
        pthread_key_delete(iKey);
        {
            std::lock_guard<std::mutex> lock(iMutex);
            for (Shelf* shelf : iAll) delete shelf;
            iAll.clear();
        }
        // A thread that began to end before the key went may still be freeing its own shelf:
        // the scanner library is shut down after this returns, and the mutex goes with it.
        while (gEnding.load() != 0) std::this_thread::yield();
    }
    Shelves(const Shelves&) = delete;
    Shelves& operator=(const Shelves&) = delete;

    // The calling thread's shelf; null when it has none and `make` is false, or none can be made.
    Shelf* mine(bool make) noexcept {
        if (!iReady) return nullptr;
        auto* shelf = static_cast<Shelf*>(pthread_getspecific(iKey));
        if (shelf != nullptr || !make) return shelf;
        try {
            std::lock_guard<std::mutex> lock(iMutex);
            iAll.reserve(iAll.size() + 1);
            shelf = new Shelf;
            iAll.push_back(shelf);
        } catch (...) {
            return nullptr;
        }
        if (pthread_setspecific(iKey, shelf) != 0) {
            forget(shelf);
            delete shelf;
            return nullptr;
        }
        return shelf;
    }

    void forget(Shelf* shelf) noexcept {
        std::lock_guard<std::mutex> lock(iMutex);
        iAll.erase(std::remove(iAll.begin(), iAll.end(), shelf), iAll.end());
    }

    // A thread's end frees its shelf under the lock, unless the library's close freed it first:
    // the two never free one shelf twice, nor one while the other takes the scanner library down.
    void release(Shelf* shelf) noexcept {
        std::lock_guard<std::mutex> lock(iMutex);
        const auto found = std::find(iAll.begin(), iAll.end(), shelf);
        if (found == iAll.end()) return;
        iAll.erase(found);
        delete shelf;
    }

    // Set once the shelves are gone (the library unloading or the process ending).
    static std::atomic<bool> gClosed;
    // Threads inside threadEnded, which the close waits for.
    static std::atomic<int> gEnding;

private:
    bool iReady = false;
    pthread_key_t iKey{};
    std::mutex iMutex;
    std::vector<Shelf*> iAll;
};

std::atomic<bool> Shelves::gClosed{false};
std::atomic<int> Shelves::gEnding{0};

Shelves& shelves() {
    static Shelves all;
    return all;
}

// Counted in before the close is looked at, and the close sets it before it counts (both in
// one order for every thread), so either this thread sees the close and touches nothing, or
// the close waits for it.
void threadEnded(void* shelf) noexcept {
    Shelves::gEnding.fetch_add(1);
    if (!Shelves::gClosed.load()) shelves().release(static_cast<Shelf*>(shelf));
    Shelves::gEnding.fetch_sub(1);
}

} // namespace

std::unique_ptr<XmlScannerObjects> XmlIdleScanners::take() noexcept {
    if (Shelves::gClosed.load(std::memory_order_acquire)) return nullptr;
    Shelf* shelf = shelves().mine(false);
    if (shelf == nullptr || shelf->count == 0) return nullptr;
    return std::unique_ptr<XmlScannerObjects>(shelf->sets[--shelf->count]);
}

void XmlIdleScanners::keep(std::unique_ptr<XmlScannerObjects> objects) noexcept {
    if (!objects || Shelves::gClosed.load(std::memory_order_acquire)) return;
    Shelf* shelf = shelves().mine(true);
    if (shelf == nullptr || shelf->count == kPerThread) return;   // freed as it goes out of scope
    shelf->sets[shelf->count++] = objects.release();
}

std::size_t XmlIdleScanners::count() noexcept {
    if (Shelves::gClosed.load(std::memory_order_acquire)) return 0;
    const Shelf* shelf = shelves().mine(false);
    return shelf ? shelf->count : 0;
}

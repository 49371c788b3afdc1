#include "host/KelNameTable.hpp"

const KelStringBase KelNameTable::kEmpty;

KelNameTable& KelNameTable::shared() {
    static std::mutex lock;
    static KelNameTable table(&lock);
    return table;
}

const KelStringBase* KelNameTable::intern(const KelStringBase& name) {
    if (name.empty()) return &empty();
    std::unique_lock<std::mutex> guard;
    if (iLock != nullptr) guard = std::unique_lock<std::mutex>(*iLock);
    // Set elements never move, so the address stays good until the table is cleared.
    return &*iNames.insert(name).first;
}

void KelNameTable::trim(std::size_t limit) noexcept {
    if (iNames.size() <= limit) return;
    iNames.clear();
    ++iGeneration;
}

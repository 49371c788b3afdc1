#include "host/KelNameTable.hpp"

#include <cstring>

const KelNameTable::Name KelNameTable::kEmpty{};

namespace {
thread_local std::size_t tNamesCompared = 0;
} // namespace

bool KelNameTable::SameName::operator()(const Name& a, const Name& b) const noexcept {
    ++tNamesCompared;
    return a.text == b.text;
}

std::size_t KelNameTable::namesCompared() noexcept { return tNamesCompared; }

std::uint32_t KelNameTable::hashOf(const KelStringBase& name) noexcept {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(name.data());
    std::size_t n = name.length() * sizeof(char16_t);
    std::uint32_t h = 0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        std::uint32_t word;
        std::memcpy(&word, bytes + i, 4);
        h = (h << 1) ^ word;
    }
    for (; i < n; ++i) h = (h << 1) ^ bytes[i];
    return h;
}

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
    return &iNames.insert(Name(name, hashOf(name))).first->text;
}

void KelNameTable::trim(std::size_t limit) noexcept {
    if (iNames.size() <= limit) return;
    iNames.clear();
    ++iGeneration;
}

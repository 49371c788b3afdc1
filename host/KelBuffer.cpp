// KelBuffer factories that keep the bytes alive through a shared owner.
#include "host/KelBuffer.hpp"

#include <utility>

KelBuffer KelBuffer::adopt(std::vector<unsigned char>&& bytes) {
    auto owner = std::make_shared<const std::vector<unsigned char>>(std::move(bytes));
    return share(owner, owner->data(), static_cast<long>(owner->size()));
}

KelBuffer KelBuffer::fromString(std::string bytes) {
    auto owner = std::make_shared<const std::string>(std::move(bytes));
    return share(owner, reinterpret_cast<const unsigned char*>(owner->data()), static_cast<long>(owner->size()));
}

KelBuffer KelBuffer::share(std::shared_ptr<const void> owner, const unsigned char* data, long length) {
    KelBuffer buffer(data, length);
    buffer.iOwner = std::move(owner);
    return buffer;
}

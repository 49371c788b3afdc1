// KelElementLink: a link between elements (parent, children, siblings) kept as the 32-bit slot
// handle of the element it names (see KelSlotTable), read and written like a pointer. Only
// elements in a pool can be linked to; null is handle 0.
// Ownership: not owning. Thread rules: those of the element holding it.
#pragma once

#include <cstddef>
#include <cstdint>

class KelSyntaxElement;

class KelElementLink {
public:
    KelElementLink() noexcept = default;
    KelElementLink(std::nullptr_t) noexcept {}
    explicit KelElementLink(KelSyntaxElement* element) noexcept { *this = element; }
    // The link to the element of handle `handle` (which the caller has from the pool).
    static KelElementLink fromHandle(std::uint32_t handle) noexcept {
        KelElementLink link;
        link.iHandle = handle;
        return link;
    }
    KelElementLink& operator=(KelSyntaxElement* element) noexcept;   // defined with KelSyntaxElement
    KelElementLink& operator=(std::nullptr_t) noexcept {
        iHandle = 0;
        return *this;
    }
    KelElementLink(const KelElementLink&) noexcept = default;
    KelElementLink& operator=(const KelElementLink&) noexcept = default;

    KelSyntaxElement* get() const noexcept;                          // defined with KelSyntaxElement
    operator KelSyntaxElement*() const noexcept { return get(); }
    KelSyntaxElement* operator->() const noexcept { return get(); }
    explicit operator bool() const noexcept { return iHandle != 0; }
    bool operator!() const noexcept { return iHandle == 0; }
    bool operator==(const KelElementLink& other) const noexcept { return iHandle == other.iHandle; }
    bool operator!=(const KelElementLink& other) const noexcept { return iHandle != other.iHandle; }
    bool operator==(std::nullptr_t) const noexcept { return iHandle == 0; }
    bool operator!=(std::nullptr_t) const noexcept { return iHandle != 0; }
    std::uint32_t handle() const noexcept { return iHandle; }

private:
    std::uint32_t iHandle = 0;
};

// KelMappedPageGuard: keeps a process alive when a mapped input file shrinks under it. A
// read of a mapped page past the file's new end raises SIGBUS; for a mapping registered here the
// handler puts a page of zeros in its place and marks the mapping changed, so the read goes on
// and whoever reads it reports that message as changed while it was read (the command's batch
// goes on with the others). A SIGBUS anywhere else goes to the action installed before. The table is fixed and read by the
// handler without locks; the handler is installed at the first registration. Any thread.
#pragma once

#include <cstddef>

class KelMappedPageGuard {
public:
    // Registers a mapping; returns a slot for release(), or -1 when the table is full.
    static int hold(const void* address, std::size_t length);
    static void release(int slot) noexcept;
    // True when the registered mapping holding `address` lost bytes while it was read.
    static bool changed(const void* address) noexcept;
    // True when any mapping has (for a command that reads one file).
    static bool anyChanged() noexcept;
};

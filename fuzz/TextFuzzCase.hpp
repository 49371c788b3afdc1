// TextFuzzCase: one round over the code-page and escaping utilities, driven by arbitrary bytes
// (the first two choose a code page and a buffer size, the rest is the text or the bytes). It
// reports a fault (as text) when escaping cannot be undone or leaves a markup character bare,
// a conversion writes past its buffer or splits a character, text does not survive a round
// trip through a code page, case mapping touches more than ASCII letters, or byte swapping is
// not its own inverse. Stateless; runs may go on several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class TextFuzzCase {
public:
    // "" when every property held, else what went wrong.
    static std::string run(const std::uint8_t* data, std::size_t size);
};

// TreeFuzzCase: one hostile-input round through the whole parser, driven by arbitrary bytes: a
// few selector bytes choose the input code page and byte order, span reuse, the host's reuse
// flag, the domain, the output code page (stateful double-byte EBCDIC pages by two selector bits
// of their own) and a seed; the rest is the bitstream. The round walks the tree in a seeded random
// order, makes random edits with every mutator of the element API (type, name, each kind of
// value, moves of attached and detached elements, detach, detachChildren, copy, every create
// form including grafts of another parser's tree), runs the tree checks, writes the tree back
// and reads the output again, with quarn and with libxml2. It reports a fault (as text) when the
// input bytes change, an error of an unexpected kind escapes, a write claims a size it did not
// write, a pass-through is not byte-identical, a tree that is not XML is written, or the output
// reads differently from the tree it came from (known faults of issue 11 aside: KnownFaults).
// Stateless; each run builds and destroys its own parsers, so runs may go on several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class TreeFuzzCase {
public:
    // Bytes before the bitstream that choose how the round runs.
    static constexpr std::size_t kSelectorBytes = 5;
    // The selector bytes for a bitstream in `ccsid` (UTF-16 pages: big-endian unless littleEndian).
    static std::string selectorsFor(int ccsid, bool littleEndian, unsigned seed);
    // "" when the round went as it must, else what went wrong.
    static std::string run(const std::uint8_t* data, std::size_t size);
};

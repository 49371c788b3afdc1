// XmlBufferedOutput: the output side of a write. Gathers the writer's markup as UTF-16 pieces in
// the pending text and converts it into the host's write buffer in batches (through the page's
// single-byte table where it has one, else the host's converter); copies stretches of original
// bytes, swapping UTF-16 byte pairs where the byte order differs; keeps NL line ends; remembers
// which characters the output page holds.
// Ownership: owned by the writer; owns its pending text, work areas and coverage memory, never
// the write buffer (borrowed from begin to end) or the bytes it copies.
// Thread rules: one write at a time, on the thread that owns the writer.
#pragma once

#include "host/KelStringBase.hpp"
#include "writer/XmlPageCoverage.hpp"

#include <cstddef>

class KelSingleByteTable;
class KelWriteBuffer;

class XmlBufferedOutput {
public:
    // Largest piece (in UTF-16 code units) that is still gathered in the pending text.
    static constexpr unsigned kFlushThreshold = 1024;

    // A write starts: its bytes go to the end of `buffer`, in `ccsid` with `byteOrder` (1
    // big-endian, -1 little-endian for UTF-16); with `newLines`, every LF that text written
    // anew brings becomes NL (an EBCDIC document whose lines end in NL).
    void begin(KelWriteBuffer* buffer, int ccsid, int byteOrder, bool newLines);
    // The write is over, whether it completed or not: nothing pending, no buffer.
    void end() noexcept;
    // Gives up what was written from `used` on (pending text included), as if it never was.
    void discardFrom(long used);

    KelWriteBuffer* buffer() const noexcept { return iWriteBuffer; }
    int codepage() const noexcept { return iCcsid; }
    bool bigEndian() const noexcept { return iPendingByteOrder != -1; }
    XmlPageCoverage& coverage() noexcept { return iCoverage; }
    // Bytes copied unchanged (copyBytes) since begin.
    long bytesCopied() const noexcept { return iBytesCopied; }

    // One piece of markup or text, by the piece rule: gathered while it and the pending text
    // stay within the flush threshold, else converted at once after the pending text.
    void write(const char16_t* text, std::size_t length) {
        if (length != 0 && iPendingText.length() + length <= iFlushThreshold) iPendingText.append(text, length);
        else writeLong(text, length);
    }
    void write(const KelStringBase& piece) { write(piece.data(), piece.length()); }
    // The pending text itself, for text escaped straight into it whatever its length.
    KelStringBase& pendingText() noexcept { return iPendingText; }
    // Converts the pending text into the write buffer.
    void flush();

    // Bytes already in the output page: appended unchanged after the pending text, or with the
    // two bytes of every UTF-16 pair swapped.
    void copyBytes(const unsigned char* from, const unsigned char* end, bool swapPairs);
    // A stretch written in another page (`ccsid`, `bigEndian`), converted into the output after
    // `lead`; false, with nothing written, when the output page cannot hold all of it.
    bool convertStretch(const unsigned char* from, const unsigned char* end, long ccsid, bool bigEndian,
                        const KelStringBase* lead);
    // The text of a stretch written in `ccsid`, as the tree builder read it (NL is a line end).
    void decode(const unsigned char* start, const unsigned char* end, long ccsid, bool bigEndian,
                KelStringBase& out) const;
    // Puts back the buffer's zero byte after its end, over bytes written there and given up.
    void restoreEndOfBuffer();

private:
    void writeLong(const char16_t* text, std::size_t length);
    // Bytes converted into the write buffer from `from` on: LF becomes NL when asked.
    void keepNewLines(long from);
    void appendSwapped(const unsigned char* start, const unsigned char* end);

    // ---- Single-byte output pages: text whose every character has an entry in the page's table
    // goes into the write buffer without the converter; any other text takes the converter's way.
    const KelSingleByteTable* singleByteTable();
    // Room for `room` bytes at the end of the write buffer (and its zero byte after them); null
    // when the output page has no table or the buffer cannot grow so far.
    unsigned char* tableRoom(std::size_t room);
    // Makes `count` bytes written at the end of the buffer its own.
    void commitTableBytes(std::size_t count);
    // The pending text, then `text`, through the table; false, with nothing written, when the
    // table does not hold them all.
    bool appendThroughTable(const char16_t* text, std::size_t length);
    // A UTF-8 stretch longer than the flush threshold, decoded and looked up in one pass, after
    // `lead`; false, with nothing written, when the table does not hold it or it is short
    // enough for the pending text.
    bool copyUtf8ThroughTable(const unsigned char* start, const unsigned char* end, const KelStringBase* lead);

    KelStringBase iPendingText;
    unsigned iFlushThreshold = kFlushThreshold;
    KelWriteBuffer* iWriteBuffer = nullptr;
    int iCcsid = 0;                 // the page the pending text is converted into
    int iPendingByteOrder = 0;
    bool iNewLines = false;
    long iBytesCopied = 0;
    KelStringBase iDecoded;          // work string for converted stretches
    XmlPageCoverage iCoverage;
    // Table of the output page when it is single-byte (shared, read-only; valid for
    // iSingleByteCcsid, -1 before the first look-up).
    const KelSingleByteTable* iSingleByte = nullptr;
    int iSingleByteCcsid = -1;
};

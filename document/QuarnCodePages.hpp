// Names for the numbers a message's code page is given by: its ccsid (coded character set
// identifier) and its encoding value, whose low four bits give the byte order of UTF-16 text.
// Constants only.
#pragma once

namespace quarn {
namespace ccsid {
constexpr int detect = -1;       // find it from the message: byte-order mark, signature, declaration
constexpr int same = -1;         // for output: the input's
constexpr int utf8 = 1208;
constexpr int utf16 = 1200;      // byte order from the encoding value (or the message's mark)
constexpr int latin1 = 819;      // ISO 8859-1
constexpr int windows1252 = 1252;
constexpr int ebcdicUs = 37;     // EBCDIC US and Canada
constexpr int ebcdic1047 = 1047; // EBCDIC Latin-1 open systems
constexpr int ebcdicJapanese = 930;
constexpr int shiftJis = 943;
} // namespace ccsid

namespace encoding {
constexpr int detect = -1;       // with ccsid::detect: found with it; with a given ccsid: native
constexpr int same = -1;         // for output: the input's
constexpr int bigEndian = 273;   // low four bits 1
constexpr int littleEndian = 546;// low four bits 2
constexpr int native = 546;      // the host's own value (little-endian)
} // namespace encoding
} // namespace quarn

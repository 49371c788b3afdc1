#include "TestDocumentCodePage.hpp"

#include <cctype>

namespace {

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The value of encoding="..." in an XML declaration at the start of ASCII-compatible bytes.
std::string declaredEncoding(const std::string& bytes) {
    if (bytes.compare(0, 5, "<?xml") != 0) return std::string();
    const std::size_t end = bytes.find("?>");
    const std::string decl = bytes.substr(0, end);
    std::size_t at = decl.find("encoding");
    if (at == std::string::npos) return std::string();
    at = decl.find_first_of("\"'", at);
    if (at == std::string::npos) return std::string();
    const std::size_t close = decl.find(decl[at], at + 1);
    return close == std::string::npos ? std::string() : decl.substr(at + 1, close - at - 1);
}

} // namespace

TestDocumentCodePage TestDocumentCodePage::of(const std::string& bytes) {
    TestDocumentCodePage page;
    auto at = [&](std::size_t i) { return i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0x100u; };
    if ((at(0) == 0xFE && at(1) == 0xFF) || (at(0) == 0xFF && at(1) == 0xFE)) {
        page.ccsid = 1200;
        page.name = "UTF-16 with byte-order mark";
        return page;
    }
    if (at(0) == 0x00 && at(1) == 0x3C) {
        page.ccsid = 1200;
        page.encoding = 273;
        page.name = "UTF-16BE";
        return page;
    }
    if (at(0) == 0x3C && at(1) == 0x00) {
        page.ccsid = 1200;
        page.name = "UTF-16LE";
        return page;
    }
    page.name = declaredEncoding(bytes);
    const std::string name = lower(page.name);
    if (name.empty() || name == "utf-8" || name == "utf8") page.ccsid = 1208;
    else if (name == "iso-8859-1" || name == "latin1" || name == "iso_8859-1") page.ccsid = 819;
    else if (name == "us-ascii" || name == "ascii") page.ccsid = 367;
    else if (name == "shift_jis" || name == "shift-jis") page.ccsid = 943;
    else if (name == "euc-jp") page.ccsid = 5050;
    else if (name == "windows-1252" || name == "cp1252") page.ccsid = 1252;
    else if (name == "ebcdic-cp-us" || name == "ibm037" || name == "cp037") page.ccsid = 37;
    // Any other name in 8-bit text: the host's usual page. The host's ccsid, not the declaration,
    // says how the bytes are read; a declaration that names no real encoding is still checked.
    else page.ccsid = 1208;
    return page;
}

#include "host/KelEncodingDetector.hpp"

#include "host/KelCodePageTable.hpp"
#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "host/KelThrow.hpp"

#include <unicode/ucnv.h>

#include <cctype>
#include <cstring>

namespace {
std::string lower(const std::string& s) {
    std::string out;
    for (char c : s) out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Letters and digits only: "UTF_16-BE" and "utf16be" compare equal.
std::string squeezed(const std::string& s) {
    std::string out;
    for (char c : lower(s))
        if (std::isalnum(static_cast<unsigned char>(c))) out += c;
    return out;
}

int digitsAfter(const std::string& s, std::size_t prefix) {
    if (s.size() <= prefix || s.size() - prefix > 6) return -1;
    int n = 0;
    for (std::size_t i = prefix; i < s.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(s[i]))) return -1;
        n = n * 10 + (s[i] - '0');
    }
    return n;
}

std::string canonicalIcuName(const std::string& name) {
    UErrorCode status = U_ZERO_ERROR;
    const char* canonical = ucnv_getAlias(name.c_str(), 0, &status);
    return U_SUCCESS(status) && canonical ? std::string(canonical) : std::string();
}

bool isUtf32Name(const std::string& s) { return s.rfind("utf32", 0) == 0 || s.rfind("ucs4", 0) == 0; }

[[noreturn]] void undetectable(const std::string& reason) {
    kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelEncodingDetector::detect", KelMsg::E_Kel_UnknownEncoding,
                                      reason);
}

// The value of encoding="..." in the declaration text (already in ASCII), or "".
std::string declaredEncoding(const std::string& declaration) {
    std::size_t at = declaration.find("encoding");
    if (at == std::string::npos) return std::string();
    std::size_t i = at + 8;
    while (i < declaration.size() && std::isspace(static_cast<unsigned char>(declaration[i]))) ++i;
    if (i >= declaration.size() || declaration[i] != '=') return std::string();
    ++i;
    while (i < declaration.size() && std::isspace(static_cast<unsigned char>(declaration[i]))) ++i;
    if (i >= declaration.size() || (declaration[i] != '"' && declaration[i] != '\'')) return std::string();
    std::size_t end = declaration.find(declaration[i], i + 1);
    if (end == std::string::npos) return std::string();
    return declaration.substr(i + 1, end - i - 1);
}

// The declaration's bytes up to "?>" read as ASCII, at most the first 512 bytes.
std::string asciiDeclaration(const unsigned char* data, std::size_t length) {
    std::string out;
    for (std::size_t i = 0; i < length && i < 512; ++i) {
        out += static_cast<char>(data[i]);
        if (data[i] == '>') break;
    }
    return out;
}

// The same for EBCDIC: the characters a declaration may use sit at the same places in every
// EBCDIC page, so code page 37 reads them all.
std::string ebcdicDeclaration(const unsigned char* data, std::size_t length) {
    std::size_t n = length < 512 ? length : 512;
    std::size_t end = 0;
    while (end < n && data[end] != 0x6E) ++end;   // '>'
    if (end < n) ++end;
    KelStringBase text = KelConverter::setCodepage(37)->toUnicode(data, static_cast<long>(end));
    return text.toUtf8();
}
} // namespace

int KelEncodingDetector::ccsidForName(const std::string& name) {
    const std::string s = squeezed(name);
    if (s.empty()) return -1;
    int number = digitsAfter(s, 0);
    if (number < 0)
        for (const char* prefix : {"ibm", "cp", "ccsid", "cpibm"})
            if (s.rfind(prefix, 0) == 0 && (number = digitsAfter(s, std::strlen(prefix))) >= 0) break;
    if (number >= 0) return number > 0 && KelConverter::isSupported(number) ? number : -1;
    if (s == "utf8") return 1208;
    if (s == "utf16" || s == "utf16be" || s == "utf16le" || s == "ucs2" || s == "iso10646ucs2" || s == "unicode")
        return 1200;
    if (isUtf32Name(s)) return -1;
    const std::string canonical = canonicalIcuName(name);
    if (canonical.empty()) return -1;
    // UTF-16 under any of ICU's names is 1200 (its IBM numbers for one byte order are no page).
    if (canonical == "UTF-16" || canonical == "UTF-16BE" || canonical == "UTF-16LE") return 1200;
    // The table's order decides between pages that share a table (Shift_JIS answers 943).
    for (const KelCodePageTable::Entry& entry : KelCodePageTable::entries())
        if (canonicalIcuName(KelConverter::icuNameFor(entry.ccsid)) == canonical) return entry.ccsid;
    // Any other page ICU knows by an IBM number.
    UErrorCode status = U_ZERO_ERROR;
    const char* ibm = ucnv_getStandardName(canonical.c_str(), "IBM", &status);
    if (U_SUCCESS(status) && ibm) {
        std::string ibmName = lower(ibm);
        std::size_t end = 4;
        while (end < ibmName.size() && std::isdigit(static_cast<unsigned char>(ibmName[end]))) ++end;
        int n = ibmName.rfind("ibm-", 0) == 0 ? digitsAfter(ibmName.substr(0, end), 4) : -1;
        if (n > 0 && KelConverter::isSupported(n)) return n;
    }
    return -1;
}

int KelEncodingDetector::encodingForName(const std::string& name) {
    const std::string s = squeezed(name);
    if (s == "utf16be" || s == "be" || s == "bigendian") return kBigEndianEncoding;
    if (s == "utf16le" || s == "le" || s == "littleendian") return kLittleEndianEncoding;
    // ICU's other names for UTF-16 of one byte order (x-utf-16be, UTF16_BigEndian, windows-1201,
    // UnicodeBigUnmarked, ...) name its byte order as well as the page.
    if (s.rfind("ibm", 0) == 0 || s.rfind("cp", 0) == 0) return 0;   // numbered: no page of one order
    const std::string canonical = canonicalIcuName(name);
    if (canonical == "UTF-16BE") return kBigEndianEncoding;
    if (canonical == "UTF-16LE") return kLittleEndianEncoding;
    return 0;
}

KelEncodingDetector::Result KelEncodingDetector::detect(const unsigned char* data, std::size_t length) {
    Result r;
    auto startsWith = [&](std::initializer_list<unsigned char> bytes) {
        if (length < bytes.size()) return false;
        return std::memcmp(data, bytes.begin(), bytes.size()) == 0;
    };
    if (startsWith({0x00, 0x00, 0xFE, 0xFF}) || startsWith({0xFF, 0xFE, 0x00, 0x00}) ||
        startsWith({0x00, 0x00, 0x00, 0x3C}) || startsWith({0x3C, 0x00, 0x00, 0x00}))
        undetectable("the document is in UTF-32, which is not supported; convert it to UTF-8 or UTF-16");
    if (startsWith({0xEF, 0xBB, 0xBF})) {
        r.source = Source::ByteOrderMark;
        r.markLength = 3;
        return r;
    }
    if (startsWith({0xFE, 0xFF}) || startsWith({0xFF, 0xFE})) {
        r.ccsid = 1200;
        r.encoding = data[0] == 0xFE ? kBigEndianEncoding : kLittleEndianEncoding;
        r.source = Source::ByteOrderMark;
        r.markLength = 2;
        return r;
    }
    if (startsWith({0x00, 0x3C, 0x00, 0x3F}) || startsWith({0x3C, 0x00, 0x3F, 0x00})) {
        r.ccsid = 1200;
        r.encoding = data[0] == 0x00 ? kBigEndianEncoding : kLittleEndianEncoding;
        r.source = Source::Utf16Signature;
        return r;
    }
    std::string declaration;
    if (startsWith({0x4C, 0x6F, 0xA7, 0x94})) {   // "<?xm" in EBCDIC
        declaration = ebcdicDeclaration(data, length);
        r.ccsid = 37;
        r.source = Source::EbcdicSignature;
    } else if (startsWith({0x3C, 0x3F, 0x78, 0x6D, 0x6C})) {   // "<?xml"
        declaration = asciiDeclaration(data, length);
    } else {
        return r;
    }
    r.declaredName = declaredEncoding(declaration);
    if (r.declaredName.empty()) return r;
    const std::string s = squeezed(r.declaredName);
    const int ccsid = isUtf32Name(s) ? -1 : ccsidForName(r.declaredName);
    // A declared page must read the document's first characters as they are: EBCDIC bytes
    // can only mean an EBCDIC page, ASCII bytes an ASCII-compatible one.
    bool readsAlike = false;
    if (ccsid >= 0 && !KelConverter::isUtf16Ccsid(ccsid)) {
        try {
            readsAlike = KelConverter::setCodepage(ccsid)->toUnicode(data, 4).toUtf8() == "<?xm";
        } catch (const KelRecoverableException&) {
            readsAlike = false;
        }
    }
    if (!readsAlike && r.source == Source::EbcdicSignature) {
        // Plainly EBCDIC bytes under a declaration that names no EBCDIC page (as a message
        // converted without updating its declaration has): the bytes decide.
        return r;
    }
    if (isUtf32Name(s)) undetectable("the document declares " + r.declaredName + ", which is not supported");
    if (ccsid < 0) undetectable("the declared encoding '" + r.declaredName + "' is not a supported code page");
    if (KelConverter::isUtf16Ccsid(ccsid))
        undetectable("the document declares " + r.declaredName + " but is not in UTF-16 (no byte-order mark)");
    if (!readsAlike) undetectable("the document declares " + r.declaredName + " but does not start in it");
    r.ccsid = ccsid;
    r.source = Source::Declaration;
    return r;
}

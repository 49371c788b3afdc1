#include "cli/TreePrinter.hpp"

#include "host/KelParserInspector.hpp"
#include "host/KelSyntaxElement.hpp"
#include "common/XmlElementType.hpp"
#include "host/KelUtf8.hpp"

#include <cstdint>
#include <cstdio>

namespace {
bool hasValueBit(int code) { return (code & kXmlValueBit) != 0; }

// Next element in document order below `top`, descending first; updates depth; null at the end.
KelSyntaxElement* nextInOrder(KelSyntaxElement* e, KelSyntaxElement* top, int& depth, int* closed) {
    if (KelSyntaxElement* child = e->firstChild()) {
        ++depth;
        return child;
    }
    while (e != top) {
        if (KelSyntaxElement* next = e->nextSibling()) return next;
        e = e->parent();
        --depth;
        if (closed) ++*closed;
    }
    return nullptr;
}
} // namespace

bool TreePrinter::hasSpan(KelSyntaxElement* e) const {
    // A container's span is known once its end has been scanned; the whole tree is printed
    // anyway, so scanning to the end first costs nothing extra.
    if (!e->isCompleteRight()) e->lastChild();
    return iInspector.hasReusableSpan(e);
}

std::string TreePrinter::typeName(int typeCode) const {
    if (const char* name = iInspector.elementTypeName(typeCode)) return name;
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(typeCode));
    return buf;
}

namespace {
// Double-quoted text with quotes, backslashes and control characters escaped; `control` formats
// the escape of any other control character (its code is the argument). Bytes that are not UTF-8
// (a file name, a header from elsewhere) become U+FFFD in JSON, which must be UTF-8, and \xNN in
// text, where the reader may want the byte.
std::string escapedText(const std::string& utf8, const char* control, bool json) {
    std::string s = "\"";
    const auto* in = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* const end = in + utf8.size();
    while (in < end) {
        const unsigned char c = *in;
        if (c >= 0x80) {
            std::uint32_t code = 0;
            const int n = kelReadUtf8(in, end, code);
            if (n > 0) {
                s.append(reinterpret_cast<const char*>(in), static_cast<std::size_t>(n));
                in += n;
                continue;
            }
            if (json) s += "\xEF\xBF\xBD";   // one for each ill-formed part, as a decoder would
            for (int k = 0; !json && k < -n; ++k) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\x%02X", in[k]);
                s += buf;
            }
            in += -n;
            continue;
        }
        ++in;
        switch (c) {
        case '"': s += "\\\""; break;
        case '\\': s += "\\\\"; break;
        case '\n': s += "\\n"; break;
        case '\r': s += "\\r"; break;
        case '\t': s += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, control, c);
                s += buf;
            } else {
                s += static_cast<char>(c);
            }
        }
    }
    return s + "\"";
}
} // namespace

std::string TreePrinter::quotedText(const std::string& utf8) { return escapedText(utf8, "\\x%02X", false); }

std::string TreePrinter::printable(const std::string& bytes) {
    std::string s;
    auto escape = [&s](unsigned char c) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02X", c);
        s += buf;
    };
    for (std::size_t i = 0; i < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '\\') {
            s += "\\\\";
            ++i;
            continue;
        }
        if (c < 0x20 || c == 0x7F) {
            escape(c);
            ++i;
            continue;
        }
        if (c < 0x80) {
            s += static_cast<char>(c);
            ++i;
            continue;
        }
        // A whole UTF-8 sequence stays as it is, but for the C1 controls (U+0080 to U+009F).
        const std::size_t length = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        bool whole = length > 0 && i + length <= bytes.size();
        for (std::size_t k = 1; whole && k < length; ++k)
            whole = (static_cast<unsigned char>(bytes[i + k]) & 0xC0) == 0x80;
        if (whole && !(c == 0xC2 && static_cast<unsigned char>(bytes[i + 1]) < 0xA0)) {
            s.append(bytes, i, length);
            i += length;
        } else {
            escape(c);
            ++i;
        }
    }
    return s;
}

std::string TreePrinter::jsonString(const std::string& utf8) { return escapedText(utf8, "\\u%04X", true); }

std::string TreePrinter::indentation(int depth) {
    // Two spaces a level up to kMaxIndentedDepth; deeper lines keep that indentation and say
    // their depth, so a document nested a million deep prints lines of sensible length.
    if (depth <= kMaxIndentedDepth) return std::string(static_cast<std::size_t>(depth) * 2, ' ');
    return std::string(static_cast<std::size_t>(kMaxIndentedDepth) * 2, ' ') + "(depth " + std::to_string(depth) + ") ";
}

unsigned long TreePrinter::printText(KelSyntaxElement* root) {
    unsigned long count = 0;
    int depth = 0;
    for (KelSyntaxElement* e = root; e; e = nextInOrder(e, root, depth, nullptr)) {
        ++count;
        int code = e->type();
        std::string line = indentation(depth);
        line += typeName(code);
        if (!e->name().empty()) {
            line += ' ';
            line += e->name().toUtf8();
        }
        if (hasValueBit(code) && !e->actualValue().isNull()) {
            line += " = ";
            line += quotedText(e->actualValue().valueAsCharacter().toUtf8());
        }
        if (hasSpan(e)) line += " [span]";
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), iOut);
    }
    return count;
}

unsigned long TreePrinter::printJson(KelSyntaxElement* root) {
    unsigned long count = 0;
    int depth = 0;
    KelSyntaxElement* e = root;
    while (e) {
        ++count;
        int code = e->type();
        std::string s = "{\"type\":" + jsonString(typeName(code)) + ",\"name\":" + jsonString(e->name().toUtf8());
        s += ",\"value\":";
        if (hasValueBit(code) && !e->actualValue().isNull())
            s += jsonString(e->actualValue().valueAsCharacter().toUtf8());
        else
            s += "null";
        s += hasSpan(e) ? ",\"span\":true" : ",\"span\":false";
        s += ",\"children\":[";
        int before = depth;
        int closed = 0;
        KelSyntaxElement* next = nextInOrder(e, root, depth, &closed);
        if (next && depth > before) {
            // descending: the children array stays open
        } else {
            s += "]}";                        // this element had no children
            for (int i = 0; i < closed; ++i) s += "]}";
            if (next) s += ',';
        }
        std::fwrite(s.data(), 1, s.size(), iOut);
        e = next;
    }
    std::fputc('\n', iOut);
    return count;
}

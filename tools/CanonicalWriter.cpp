#include "tools/CanonicalWriter.hpp"

#include "cli/OutputFile.hpp"

#include <cerrno>
#include <cstring>

namespace {
// Standard output gets a chunk once this much is waiting, so memory stays flat.
constexpr std::size_t kChunk = 1 << 16;

// A control character (from an XML 1.1 message: 1.0 has none) may stand only as a reference.
void appendCharacter(std::string& out, char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 || c == '\t' || c == '\n') {
        out += c;
        return;
    }
    static const char digits[] = "0123456789ABCDEF";
    out += "&#x";
    if (byte >= 0x10) out += digits[byte >> 4];
    out += digits[byte & 0x0F];
    out += ';';
}

void escapeText(std::string& out, const std::string& value) {
    for (char c : value) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '\r': out += "&#xD;"; break;
        default: appendCharacter(out, c);
        }
    }
}

void escapeAttribute(std::string& out, const std::string& value) {
    for (char c : value) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '"': out += "&quot;"; break;
        case '\t': out += "&#x9;"; break;
        case '\n': out += "&#xA;"; break;
        case '\r': out += "&#xD;"; break;
        default: appendCharacter(out, c);
        }
    }
}
} // namespace

CanonicalWriter::CanonicalWriter(std::string path)
    : iPath(std::move(path)), iStandardOutput(iPath.empty() || iPath == "-") {}

void CanonicalWriter::startTag(const std::string& name) {
    iBuffer += '<';
    iBuffer += name;
}

void CanonicalWriter::attribute(const std::string& name, const std::string& value) {
    iBuffer += ' ';
    iBuffer += name;
    iBuffer += "=\"";
    escapeAttribute(iBuffer, value);
    iBuffer += '"';
}

void CanonicalWriter::endTag(const std::string& name) {
    iBuffer += "</";
    iBuffer += name;
    iBuffer += '>';
    if (iBuffer.size() >= kChunk) spill();
}

void CanonicalWriter::raw(const std::string& bytes) {
    iBuffer += bytes;
    if (iBuffer.size() >= kChunk) spill();
}

void CanonicalWriter::text(const std::string& value) {
    escapeText(iBuffer, value);
    if (iBuffer.size() >= kChunk) spill();
}

void CanonicalWriter::comment(const std::string& value) {
    iBuffer += "<!--";
    iBuffer += value;
    iBuffer += "-->";
}

void CanonicalWriter::processingInstruction(const std::string& target, const std::string& data) {
    iBuffer += "<?";
    iBuffer += target;
    if (!data.empty()) {
        iBuffer += ' ';
        iBuffer += data;
    }
    iBuffer += "?>";
}

void CanonicalWriter::spill() {
    if (!iStandardOutput || iBuffer.empty()) return;
    if (std::fwrite(iBuffer.data(), 1, iBuffer.size(), stdout) != iBuffer.size())
        throw OutputFile::Failure(std::string("cannot write to standard output: ") + std::strerror(errno));
    iBuffer.clear();
}

void CanonicalWriter::finish() {
    if (!iStandardOutput) {
        OutputFile::write(iPath, reinterpret_cast<const unsigned char*>(iBuffer.data()), iBuffer.size());
        return;
    }
    spill();
    if (std::fflush(stdout) != 0)
        throw OutputFile::Failure(std::string("cannot write to standard output: ") + std::strerror(errno));
}

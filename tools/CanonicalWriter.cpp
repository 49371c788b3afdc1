#include "tools/CanonicalWriter.hpp"

#include "cli/OutputFile.hpp"
#include "common/XmlReferenceRule.hpp"
#include "host/KelStringBase.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {
// Standard output gets a chunk once this much is waiting, so memory stays flat.
constexpr std::size_t kChunk = 1 << 16;

// Writes the character that starts at `value[i]` and returns how many bytes it took. What a
// reader would not give back from the character itself is written as a reference, by the rule
// the writer follows: control characters (from an XML 1.1 message: 1.0 has none) and, in a 1.1
// document, U+007F-U+009F and U+2028 too, which 1.1 takes only as references or reads as a line
// feed. XML 1.0 (and so the canonical form) takes those as they are.
std::size_t appendCharacter(std::string& out, const std::string& value, std::size_t i, bool xml11) {
    const auto lead = static_cast<unsigned char>(value[i]);
    std::size_t length = 1;
    unsigned long codePoint = lead;
    if (xml11 && lead >= 0xC0) {
        length = std::min<std::size_t>(lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2, value.size() - i);
        codePoint = lead & (0x7Fu >> length);
        for (std::size_t k = 1; k < length; ++k) codePoint = (codePoint << 6) | (static_cast<unsigned char>(value[i + k]) & 0x3Fu);
    }
    if (!(xml11 || codePoint < 0x20) || codePoint > 0xFFFF ||
        !XmlReferenceRule::needsNumericReference(static_cast<char16_t>(codePoint))) {
        out.append(value, i, length);
        return length;
    }
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    do {
        hex.insert(hex.begin(), digits[codePoint & 0x0F]);
        codePoint >>= 4;
    } while (codePoint != 0);
    out += "&#x" + hex + ';';
    return length;
}

void escapeText(std::string& out, const std::string& value, bool xml11) {
    for (std::size_t i = 0; i < value.size();) {
        switch (value[i]) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '\r': out += "&#xD;"; break;
        default: i += appendCharacter(out, value, i, xml11); continue;
        }
        ++i;
    }
}

void escapeAttribute(std::string& out, const std::string& value, bool xml11) {
    for (std::size_t i = 0; i < value.size();) {
        switch (value[i]) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '"': out += "&quot;"; break;
        case '\t': out += "&#x9;"; break;
        case '\n': out += "&#xA;"; break;
        case '\r': out += "&#xD;"; break;
        default: i += appendCharacter(out, value, i, xml11); continue;
        }
        ++i;
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
    escapeAttribute(iBuffer, value, iXml11);
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
    escapeText(iBuffer, value, iXml11);
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

namespace {
thread_local std::size_t tBindingsRead = 0;
} // namespace

std::size_t CanonicalNamespaces::PrefixHash::operator()(const std::string& s) const noexcept {
    return KelStringBaseHash::ofBytes(s.data(), s.size());
}

std::size_t CanonicalNamespaces::bindingsRead() noexcept { return tBindingsRead; }

void CanonicalNamespaces::bind(std::string prefix, std::string uri) {
    auto [at, added] = iInnermost.emplace(prefix, iBindings.size());
    const std::size_t shadowed = added ? kNone : at->second;
    at->second = iBindings.size();
    iBindings.push_back(Binding{std::move(prefix), std::move(uri), shadowed});
}

void CanonicalNamespaces::release(std::size_t mark) {
    while (iBindings.size() > mark) {
        const Binding& b = iBindings.back();
        if (b.shadowed == kNone)
            iInnermost.erase(b.prefix);
        else
            iInnermost[b.prefix] = b.shadowed;
        iBindings.pop_back();
    }
}

const CanonicalNamespaces::Binding* CanonicalNamespaces::find(const std::string& prefix, std::size_t mark) const {
    const auto it = iInnermost.find(prefix);
    // Bindings at or after the mark are the element's own: at most one a prefix, unless a tree
    // built by hand repeats one, so the chain is short.
    for (std::size_t i = it == iInnermost.end() ? kNone : it->second; i != kNone; i = iBindings[i].shadowed) {
        ++tBindingsRead;
        if (i < mark) return &iBindings[i];
    }
    return nullptr;
}

std::string CanonicalNamespaces::uriOf(const std::string& prefix, std::size_t mark) const {
    if (prefix == "xml") return "http://www.w3.org/XML/1998/namespace";
    const Binding* b = find(prefix, mark);
    return b != nullptr ? b->uri : std::string();
}

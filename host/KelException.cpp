#include "host/KelException.hpp"

#include "host/KelMessageTable.hpp"

#include <cstdio>
#include <cstring>

namespace {
std::string baseName(const char* file) {
    if (!file) return std::string();
    const char* slash = std::strrchr(file, '/');
    return slash ? slash + 1 : file;
}

void appendIndented(std::string& out, const KelException& e, int depth) {
    for (const auto& nested : e.nested()) {
        out += '\n';
        out.append(static_cast<std::size_t>(depth) * 2, ' ');
        out += "caused by: ";
        out += nested->summary();
        appendIndented(out, *nested, depth + 1);
    }
}
} // namespace

KelException::KelException(const char* file, int line, const char* function, const char* logSource,
                           std::uint32_t messageNumber, const std::string& text)
    : iFile(baseName(file)), iLine(line), iFunction(function ? function : ""),
      iLogSource(logSource ? logSource : ""), iNumber(messageNumber), iText(text) {}

KelException::KelException(const KelOwnedLogSource*, const char* file, int line, const char* function,
                           const char* logSource, std::uint32_t messageNumber, const std::string& text)
    : KelException(file, line, function, logSource, messageNumber, text) {}

KelException::~KelException() = default;

KelException& KelException::operator<<(const char* text) {
    iInserts.emplace_back(text ? text : "");
    iWhat.clear();
    return *this;
}
KelException& KelException::operator<<(const std::string& text) { return *this << text.c_str(); }
KelException& KelException::operator<<(const KelStringBase& text) { return *this << text.toUtf8(); }
KelException& KelException::operator<<(int value) { return *this << std::to_string(value); }
KelException& KelException::operator<<(unsigned value) { return *this << std::to_string(value); }
KelException& KelException::operator<<(long value) { return *this << std::to_string(value); }
KelException& KelException::operator<<(unsigned long value) { return *this << std::to_string(value); }
KelException& KelException::operator<<(long long value) { return *this << std::to_string(value); }
KelException& KelException::operator<<(unsigned long long value) { return *this << std::to_string(value); }
KelException& KelException::operator<<(bool value) { return *this << (value ? "true" : "false"); }
KelException& KelException::operator<<(const void* pointer) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", pointer);
    return *this << buf;
}
KelException& KelException::operator<<(const KelException& nested) {
    iNested.push_back(std::shared_ptr<const KelException>(nested.clone()));
    iWhat.clear();
    return *this;
}

std::unique_ptr<KelException> KelException::clone() const { return std::make_unique<KelException>(*this); }
void KelException::throwThis() const { throw *this; }
std::unique_ptr<KelException> KelRecoverableException::clone() const {
    return std::make_unique<KelRecoverableException>(*this);
}
void KelRecoverableException::throwThis() const { throw *this; }
std::unique_ptr<KelException> KelParserException::clone() const { return std::make_unique<KelParserException>(*this); }
void KelParserException::throwThis() const { throw *this; }

const KelParserException* KelParserException::positioned(const KelException& failure) noexcept {
    auto* parse = dynamic_cast<const KelParserException*>(&failure);
    if (parse && parse->hasDocumentPosition()) return parse;
    for (const auto& cause : failure.nested())
        if (const KelParserException* found = positioned(*cause)) return found;
    return nullptr;
}

std::string KelException::summary() const {
    char code[24];
    std::snprintf(code, sizeof code, "QRV%04u%c: ", catalogueNumber(),
                  isError() ? 'E' : ((iNumber & kSeverityMask) == kSeverityWarning ? 'W' : 'I'));
    std::string s = code;
    s += iText;
    if (!iFunction.empty()) {
        s += " (";
        s += iFunction;
        s += ')';
    }
    if (!iInserts.empty()) {
        s += " [";
        for (std::size_t i = 0; i < iInserts.size(); ++i) {
            if (i) s += ", ";
            s += iInserts[i];
        }
        s += ']';
    }
    return s;
}

const char* KelException::what() const noexcept {
    try {
        if (iWhat.empty()) {
            iWhat = summary();
            appendIndented(iWhat, *this, 1);
        }
        return iWhat.c_str();
    } catch (...) {
        return iText.c_str();
    }
}

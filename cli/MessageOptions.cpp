#include "cli/MessageOptions.hpp"

#include "cli/UsageError.hpp"
#include "host/KelEncodingDetector.hpp"

std::string MessageOptions::trimmed(const std::string& text) {
    const char* space = " \t\r\n";
    const std::size_t b = text.find_first_not_of(space);
    if (b == std::string::npos) return std::string();
    return text.substr(b, text.find_last_not_of(space) - b + 1);
}

std::size_t MessageOptions::pathValueSeparator(const std::string& text) {
    int depth = 0;
    char quote = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '[') {
            ++depth;
        } else if (c == ']') {
            --depth;
        } else if (c == '=' && depth == 0) {
            return i;
        }
    }
    return std::string::npos;
}

int MessageOptions::ccsidNamed(const std::string& what, const std::string& text, int& encoding, bool& encodingGiven) {
    const int ccsid = KelEncodingDetector::ccsidForName(text);
    if (ccsid < 0) throw UsageError("unknown or unsupported ccsid '" + text + "' (" + what + ")");
    if (const int e = KelEncodingDetector::encodingForName(text)) {
        encoding = e;
        encodingGiven = true;
    }
    return ccsid;
}

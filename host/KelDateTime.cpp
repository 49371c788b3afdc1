// ISO 8601 rendering of the calendar values.
#include "host/KelDateTime.hpp"

#include <cstdio>
#include <cstdlib>

namespace {
// Two digits for the usual range; a value outside it is still shown whole (never cut to a wrong
// pair of digits), so a bad field stays visible in the text.
void appendTwoDigits(std::string& out, int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d", value);
    out += text;
}
} // namespace

std::string KelDate::toIso() const {
    // Four-digit years as usual; others carry a sign, as ISO 8601 expanded years do.
    char text[32];
    if (year >= 0 && year <= 9999) std::snprintf(text, sizeof text, "%04d", year);
    else std::snprintf(text, sizeof text, "%c%04ld", year < 0 ? '-' : '+', std::labs(static_cast<long>(year)));
    std::string out(text);
    out += '-';
    appendTwoDigits(out, month);
    out += '-';
    appendTwoDigits(out, day);
    return out;
}

std::string KelTime::toIso() const {
    std::string out;
    out.reserve(16);
    appendTwoDigits(out, hour);
    out += ':';
    appendTwoDigits(out, minute);
    out += ':';
    appendTwoDigits(out, second);
    if (microsecond > 0 && microsecond < 1000000) {
        // Milliseconds when that is exact, otherwise all six digits.
        char text[16];
        if (microsecond % 1000 == 0) std::snprintf(text, sizeof text, ".%03d", microsecond / 1000);
        else std::snprintf(text, sizeof text, ".%06d", microsecond);
        out += text;
    } else if (microsecond != 0) {
        char text[24];
        std::snprintf(text, sizeof text, ".%d", microsecond);
        out += text;
    }
    return out;
}

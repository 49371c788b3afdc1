#include "host/KelAbend.hpp"

#include "host/KelLog.hpp"

#include <cstdio>
#include <cstdlib>

void KelAbend::logSystemErrorAndTerminateProcessInternal(const char* file, int line, const char* function,
                                                         const std::string& insert1, const std::string& insert2,
                                                         const std::string& insert3, const std::string& insert4,
                                                         const std::string& insert5, const std::string& insert6,
                                                         const void* data, bool dump) {
    std::string text = std::string("System error in ") + (function ? function : "?") + " (" + (file ? file : "?") +
                       ":" + std::to_string(line) + "): " + insert1 + " " + insert2 + insert3 + " " + insert4 +
                       insert5 + " " + insert6;
    KelLog::writeLine(text);
    std::fprintf(stderr, "%s\n", text.c_str());
    (void)data;
    if (dump) std::abort();
    std::_Exit(70);
}

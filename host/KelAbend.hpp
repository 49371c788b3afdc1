// KelAbend: ends the process after logging a system error, for failures that leave the process
// in a state it cannot continue from. Stateless; callable from any thread.
#pragma once

#include <string>

class KelAbend {
public:
    [[noreturn]] static void logSystemErrorAndTerminateProcessInternal(
        const char* file, int line, const char* function,
        const std::string& insert1, const std::string& insert2, const std::string& insert3,
        const std::string& insert4, const std::string& insert5, const std::string& insert6,
        const void* data, bool dump);
};

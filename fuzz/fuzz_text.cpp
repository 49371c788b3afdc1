// libFuzzer entry point for TextFuzzCase: any fault it reports is a finding.
#include "fuzz/TextFuzzCase.hpp"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string fault = TextFuzzCase::run(data, size);
    if (!fault.empty()) {
        std::fprintf(stderr, "quarn fault: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}

// libFuzzer entry point for TreeFuzzCase: any fault it reports is a finding.
#include "fuzz/TreeFuzzCase.hpp"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string fault = TreeFuzzCase::run(data, size);
    if (!fault.empty()) {
        std::fprintf(stderr, "quarn fault: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}

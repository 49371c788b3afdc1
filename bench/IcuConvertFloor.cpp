#include "bench/IcuConvertFloor.hpp"

#include <unicode/ucnv.h>

#include <stdexcept>
#include <vector>

void IcuConvertFloor::run(benchmark::State& state, const std::string& doc, const char* target,
                          std::size_t pivotUnits) {
    UErrorCode status = U_ZERO_ERROR;
    UConverter* from = ucnv_open("UTF-8", &status);
    UConverter* to = ucnv_open(target, &status);
    if (U_FAILURE(status)) throw std::runtime_error("ICU converters missing");
    std::vector<char> out(doc.size() * 2 + 16);
    std::vector<UChar> pivot(pivotUnits);
    for (auto _ : state) {
        char* t = out.data();
        const char* s = doc.data();
        UChar* pivotSource = pivot.data();
        UChar* pivotTarget = pivot.data();
        status = U_ZERO_ERROR;
        ucnv_convertEx(to, from, &t, out.data() + out.size(), &s, doc.data() + doc.size(), pivot.data(),
                       &pivotSource, &pivotTarget, pivot.data() + pivot.size(), true, true, &status);
        if (U_FAILURE(status)) state.SkipWithError("ICU conversion failed");
        benchmark::DoNotOptimize(t);
    }
    ucnv_close(from);
    ucnv_close(to);
}

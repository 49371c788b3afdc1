// IcuConvertFloor: the floor of any conversion, measured on its own: ICU converting a whole
// document from UTF-8 into a target page through a pivot, once per benchmark iteration.
// Owns its converters for the duration of run(); one thread at a time.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <string>

class IcuConvertFloor {
public:
    // Converts `doc` into `target` (an ICU converter name) through a pivot of `pivotUnits` UTF-16
    // units as long as `state` asks; raises when ICU lacks a converter.
    static void run(benchmark::State& state, const std::string& doc, const char* target, std::size_t pivotUnits);
};

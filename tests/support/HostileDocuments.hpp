// HostileDocuments: the hostile inputs every entry point is held to, generated here rather than
// stored: each shape that amplifies (exponential and quadratic, in content, attribute values,
// attribute defaults, parameter entities and declarations), long names and values, deep and wide
// markup, and the edges of what is a document (empty input, bytes after the document). Each is at
// most 100 KiB. Constant data built on first use; any thread after that.
#pragma once

#include <string>
#include <vector>

struct HostileDocument {
    std::string shape;   // what it is, for failure messages and the benchmark's table
    std::string text;
    bool wellFormed;     // false: every entry point must refuse it; true: it may pass or end in a limit
};

class HostileDocuments {
public:
    static const std::vector<HostileDocument>& all();
    static std::string repeat(const std::string& piece, int times);
};

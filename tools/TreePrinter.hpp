// TreePrinter: prints a message tree for people (indented lines) or programs (JSON): per element
// its type name, name, value and whether it has a reusable span. Walks the tree by its links,
// not by recursion, so any depth prints. Writes to a FILE it does not own.
#pragma once

#include <cstdio>
#include <string>

class KelSyntaxElement;

class TreePrinter {
public:
    explicit TreePrinter(std::FILE* out) : iOut(out) {}
    // Prints `root` and everything below it; navigation parses the message as far as needed.
    // Returns the number of elements printed.
    unsigned long printText(KelSyntaxElement* root);
    unsigned long printJson(KelSyntaxElement* root);

    static std::string typeName(int typeCode);
    static std::string jsonString(const std::string& utf8);
    static std::string quotedText(const std::string& utf8);   // "..." with control characters escaped

private:
    std::FILE* iOut;
};

// TreePrinter: prints a message tree for people (indented lines) or programs (JSON): per element
// its type name, name, value and whether it has a reusable span. Walks the tree by its links,
// not by recursion, so any depth prints. Type names and spans come from the plug-in's inspector.
// Writes to a FILE it does not own; borrows the inspector. One thread.
#pragma once

#include <cstdio>
#include <string>

class KelParserInspector;
class KelSyntaxElement;

class TreePrinter {
public:
    TreePrinter(std::FILE* out, const KelParserInspector& inspector) : iOut(out), iInspector(inspector) {}
    // Prints `root` and everything below it; navigation parses the message as far as needed.
    // Returns the number of elements printed.
    unsigned long printText(KelSyntaxElement* root);
    unsigned long printJson(KelSyntaxElement* root);

    // The plug-in's name for the code, or the code in hexadecimal.
    std::string typeName(int typeCode) const;
    static std::string jsonString(const std::string& utf8);
    static std::string quotedText(const std::string& utf8);   // "..." with control characters escaped
    // A file name as a terminal line may show it: without quotes, with '\\', control characters
    // (C0, DEL, C1) and bytes that are not UTF-8 as \xNN, so a name cannot forge lines or escapes.
    static std::string printable(const std::string& bytes);
    // The start of a text line at `depth`: indented up to kMaxIndentedDepth levels, then marked.
    static constexpr int kMaxIndentedDepth = 40;
    static std::string indentation(int depth);

private:
    bool hasSpan(KelSyntaxElement* element) const;

    std::FILE* iOut;
    const KelParserInspector& iInspector;
};

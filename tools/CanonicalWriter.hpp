// CanonicalWriter: the bytes of canonical XML (UTF-8, canonical escaping of text and attribute
// values, start/end tag pairs) written as a walk hands it the nodes. Standard output is fed in
// chunks as they fill; a file (-o) is written whole or not at all when finish() is called.
// Owns its buffer. One object per run, on one thread.
#pragma once

#include <cstdio>
#include <string>

class CanonicalWriter {
public:
    // `path` empty or "-": standard output.
    explicit CanonicalWriter(std::string path);

    // The text that follows is an XML 1.1 document's, which takes more characters as references only.
    void setXml11(bool xml11) { iXml11 = xml11; }
    // `name` and the values are UTF-8.
    void startTag(const std::string& name);
    void attribute(const std::string& name, const std::string& value);
    void closeStartTag() { iBuffer += '>'; }
    void endTag(const std::string& name);
    void text(const std::string& value);
    void comment(const std::string& value);
    void processingInstruction(const std::string& target, const std::string& data);
    // Markup written as it is (a line end between top-level nodes, indentation).
    void raw(const std::string& bytes);
    // Hands standard output what is waiting (nothing for a file, which is written whole).
    void spill();
    // Writes what is left; raises OutputFile::Failure when it cannot.
    void finish();

private:
    std::string iPath;
    bool iStandardOutput;
    std::string iBuffer;
    bool iXml11 = false;
};

// CanonicalWriter: the bytes of canonical XML (UTF-8, canonical escaping of text and attribute
// values, start/end tag pairs) written as a walk hands it the nodes. Standard output is fed in
// chunks as they fill; a file (-o) is written whole or not at all when finish() is called.
// Owns its buffer. One object per run, on one thread.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

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

// The namespaces in scope during a canonical walk: each element's declarations are bound on entry
// and released on exit, and the walk asks what a prefix was bound to before a mark (the start of
// the element's own declarations) or now. A look-up finds the innermost binding of its prefix
// directly, however many are in scope, so a message that declares a prefix at each of thousands
// of levels, or thousands of prefixes at its top, costs work in proportion to its size.
class CanonicalNamespaces {
public:
    std::size_t mark() const { return iBindings.size(); }
    void release(std::size_t mark);
    void bind(std::string prefix, std::string uri);
    // The URI `prefix` ("" for the default) is bound to before `mark` ("" when unbound; the xml
    // prefix is always bound).
    std::string uriOf(const std::string& prefix, std::size_t mark) const;
    bool bound(const std::string& prefix, std::size_t mark) const { return find(prefix, mark) != nullptr; }
    // Bindings looked at by look-ups on this thread so far (a measure of the work).
    static std::size_t bindingsRead() noexcept;

private:
    struct Binding {
        std::string prefix, uri;
        std::size_t shadowed;   // the binding of the same prefix it hides, or kNone
    };
    struct PrefixHash {
        std::size_t operator()(const std::string& s) const noexcept;
    };
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    const Binding* find(const std::string& prefix, std::size_t mark) const;

    std::vector<Binding> iBindings;   // innermost last
    std::unordered_map<std::string, std::size_t, PrefixHash> iInnermost;   // prefix -> its last binding
};

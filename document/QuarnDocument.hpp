// quarn::Document: one XML message for an application: opened from bytes or a file (code page
// found from the message, or given), read and changed through path expressions (the subset of
// XPath 1.0 of `quarn select`), and written in any code page. It parses lazily: a path answered
// near the start of a message scans no further; and on output it copies every element that did
// not change, so only the changed path is rewritten. Strings are UTF-8.
// Owns its bytes, its parser and its tree (movable, not copyable). Errors: a malformed path
// raises std::invalid_argument; a path that selects nothing where something must be,
// std::out_of_range; a bad message or code page, a KelException (a std::exception) with the
// parser's message, position and causes; a file that cannot be read or written,
// std::runtime_error; any member of a document that was moved from, std::logic_error (until
// another document is moved into it). Thread rules: one thread at a time per document; documents on different
// threads share nothing.
#pragma once

#include "document/QuarnCodePages.hpp"
#include "document/QuarnNode.hpp"
#include "document/QuarnRecords.hpp"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class KelBuffer;
class KelParser;
class KelSyntaxElement;
struct XmlBuilderLimits;

namespace quarn {

class Document {
public:
    // The message `bytes` in `ccsid` (ccsid::detect: from its byte-order mark, its first
    // characters or its declaration; UTF-8 otherwise) and `encoding`. Nothing is parsed yet.
    static Document fromBytes(std::string bytes, int ccsid = ccsid::detect, int encoding = encoding::detect);
    // The same for the file at `path`, mapped into memory rather than read: the document keeps
    // the mapping, and a file that shrinks while it is read fails with std::runtime_error
    // instead of ending the process (a SIGBUS handler is installed, which passes any other fault
    // to the handler installed before it).
    static Document open(const std::string& path, int ccsid = ccsid::detect, int encoding = encoding::detect);

    Document(Document&&) noexcept;
    Document& operator=(Document&&) noexcept;
    ~Document();

    // The input's code page and encoding value, as given or found.
    int ccsid() const;
    int encoding() const;

    // Every node `path` selects, in document order.
    std::vector<Node> select(const std::string& path);
    // The first node `path` selects, scanning no further; none when it selects nothing.
    std::optional<Node> first(const std::string& path);
    // The value of `path`: the string value of the first node it selects, or the value of
    // count() or string(). std::out_of_range when a path selects nothing.
    std::string get(const std::string& path);
    // Sets the value of every node `path` selects; a path ending in "@name" adds the attribute
    // to each element that lacks it. Returns the number of nodes set; std::out_of_range for none.
    std::size_t set(const std::string& path, const std::string& value);
    // Deletes every node `path` selects; returns how many (0 when none).
    std::size_t remove(const std::string& path);
    // The records `path` names, walked in flat memory and deleted behind the walk (see
    // quarn::Records): "orders/order" (every `order` under the first `orders`), "orders/*". The
    // last step is a name or "*", the steps before it any path that selects an element (the
    // first it selects is the records' parent). The whole message is checked first: a
    // KelException when it is broken, before any record. std::invalid_argument for another path.
    Records records(const std::string& path);

    // The message in `ccsid` and `encoding` (ccsid::same, encoding::same: the input's). UTF-16
    // gets a byte-order mark. An unchanged message in its own code page is handed back whole;
    // an empty one is no document and raises the parser's error, as reading it does.
    std::string write(int ccsid = ccsid::same, int encoding = encoding::same);
    // write() into the file at `path`, which is replaced whole or left as it was (through a
    // symbolic link, the file it names); a pipe or a device is written into, never replaced.
    // std::runtime_error naming the path when it cannot be written.
    void save(const std::string& path, int ccsid = ccsid::same, int encoding = encoding::same);

    // The bounds on a hostile message (quarn/builder/XmlBuilderLimits.hpp); set before reading.
    void setLimits(const XmlBuilderLimits& limits);

    // The host interface underneath, for what the paths do not reach. Once it is handed out the
    // document no longer knows whether it changed, so write() goes through the tree (still
    // copying every unchanged element).
    KelParser& parser();
    KelSyntaxElement* root();

private:
    struct State;
    explicit Document(std::unique_ptr<State> state) noexcept;
    static Document fromBuffer(const KelBuffer& bytes, int ccsid, int encoding);
    // Raises std::runtime_error when the mapped file shrank while it was read.
    void checkInputKept() const;
    template <class Match> Node nodeOf(const Match& match) const;
    // get, set, remove and write themselves; the public calls run them watching a mapped file.
    std::string read(const std::string& path);
    std::size_t change(const std::string& path, const std::string& value);
    std::size_t removeAt(const std::string& path);
    std::string written(int ccsid, int encoding);
    // The document's state; std::logic_error when it was moved away.
    State& state() const;

    std::unique_ptr<State> iState;
};

} // namespace quarn

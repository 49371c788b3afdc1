#include "document/QuarnDocument.hpp"

#include "builder/XmlBuilderLimits.hpp"
#include "host/KelBuffer.hpp"
#include "host/KelEncodingDetector.hpp"
#include "host/KelMappedFile.hpp"
#include "host/KelOutputFile.hpp"
#include "host/KelMessageGroup.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelWriteBuffer.hpp"
#include "common/XmlElementType.hpp"
#include "parser/XmlKelParser.hpp"
#include "query/XmlPathQuery.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <unistd.h>

namespace quarn {

struct Document::State {
    KelBuffer input;
    int ccsid = ccsid::utf8;
    int encoding = encoding::native;
    KelMessageGroup group;
    // With span reuse: unchanged elements are copied from `input` on output.
    XmlKelParser parser{&group, true};
    // Whether the tree may differ from `input`: then the input cannot be handed back whole.
    bool changed = false;
    std::string path;   // of a mapped file, for its errors
    unsigned long walks = 0;   // records() walks begun: only the last may go on
};

Document::Document(std::unique_ptr<State> state) noexcept : iState(std::move(state)) {}
Document::Document(Document&&) noexcept = default;
Document& Document::operator=(Document&&) noexcept = default;
Document::~Document() = default;

Document Document::fromBytes(std::string bytes, int ccsid, int encoding) {
    return fromBuffer(KelBuffer::fromString(std::move(bytes)), ccsid, encoding);
}

Document Document::open(const std::string& path, int ccsid, int encoding) {
    Document document = fromBuffer(KelMappedFile::map(path), ccsid, encoding);
    document.iState->path = path;
    return document;
}

namespace {
// The command refuses the same values for --encoding.
void checkEncoding(int encoding) {
    if (encoding != encoding::detect && !KelEncodingDetector::namesByteOrder(encoding))
        throw std::invalid_argument("encoding " + std::to_string(encoding) + ": " + KelEncodingDetector::kByteOrderRule);
}
} // namespace

Document Document::fromBuffer(const KelBuffer& bytes, int ccsid, int encoding) {
    checkEncoding(encoding);
    auto state = std::make_unique<State>();
    state->input = bytes;
    if (ccsid == ccsid::detect) {
        // The message says what it is in; a given ccsid always decides.
        const KelEncodingDetector::Result found = KelEncodingDetector::detect(
            state->input.data(), static_cast<std::size_t>(state->input.length() > 0 ? state->input.length() : 0));
        state->ccsid = found.ccsid;
        state->encoding = encoding == encoding::detect ? found.encoding : encoding;
    } else {
        state->ccsid = ccsid;
        state->encoding = encoding == encoding::detect ? encoding::native : encoding;
    }
    state->parser.initialize();
    state->parser.refreshElementsFromBitStream(nullptr, state->input, state->encoding, state->ccsid);
    return Document(std::move(state));
}

void Document::checkInputKept() const { KelMappedFile::throwIfChanged(state().input.data(), state().path); }

Document::State& Document::state() const {
    // A moved-from document has no message: say so rather than follow a null pointer.
    if (!iState) throw std::logic_error("quarn::Document: the document was moved from and holds no message");
    return *iState;
}

int Document::ccsid() const { return state().ccsid; }
int Document::encoding() const { return state().encoding; }

template <class Match> Node Document::nodeOf(const Match& match) const {
    return Node(match.element, static_cast<Node::Kind>(match.kind), state().input.data(), state().input.length(),
                &state().changed);
}

// Every read that may scan on goes through whileKept: bytes a mapped file lost read as zeros, and
// the fault is then the file's, not the message's.
std::vector<Node> Document::select(const std::string& path) {
    return KelMappedFile::whileKept(state().input.data(), state().path, [&] {
        std::vector<Node> nodes;
        XmlPathQuery(path).forEach(state().parser.rootElement(), [&](const XmlPathQuery::Match& m) {
            nodes.push_back(nodeOf(m));
            return true;
        });
        return nodes;
    });
}

std::optional<Node> Document::first(const std::string& path) {
    return KelMappedFile::whileKept(state().input.data(), state().path, [&]() -> std::optional<Node> {
        const XmlPathQuery::Match m = XmlPathQuery(path).first(state().parser.rootElement());
        if (!m) return std::nullopt;
        return nodeOf(m);
    });
}

std::string Document::get(const std::string& path) {
    return KelMappedFile::whileKept(state().input.data(), state().path, [&] { return read(path); });
}

std::string Document::read(const std::string& path) {
    const XmlPathQuery query(path);
    KelSyntaxElement* root = state().parser.rootElement();
    // A value (a number as XPath writes it, a string, true or false) is the answer itself.
    if (query.resultKind() != XmlPathQuery::ResultKind::Nodes) return query.string(root).toUtf8();
    const XmlPathQuery::Match m = query.first(root);
    if (!m) throw std::out_of_range("path selects nothing: " + path);
    return XmlPathQuery::stringValue(m).toUtf8();
}

std::size_t Document::set(const std::string& path, const std::string& value) {
    return KelMappedFile::whileKept(state().input.data(), state().path, [&] { return change(path, value); });
}

std::size_t Document::change(const std::string& path, const std::string& value) {
    const XmlPathQuery query(path);
    if (query.resultKind() != XmlPathQuery::ResultKind::Nodes)
        throw std::invalid_argument("a value can be set only at a path, not a function: " + path);
    const KelStringBase text = KelStringBase::fromValidUtf8(value);
    // A refused call is no change: the message is still handed back whole. setValues finds every
    // node, and refuses, before it changes the first.
    const bool changedBefore = state().changed;
    state().changed = true;
    std::size_t count = 0;
    try {
        // The one rule for setting what a path selects, shared with `quarn write --set`.
        count = query.setValues(state().parser.rootElement(), text);
    } catch (const std::bad_alloc&) {
        throw;   // may have come part way through the changes
    } catch (...) {
        state().changed = changedBefore;
        throw;
    }
    if (count == 0) {
        state().changed = changedBefore;
        throw std::out_of_range("path selects nothing: " + path);
    }
    return count;
}

std::size_t Document::remove(const std::string& path) {
    return KelMappedFile::whileKept(state().input.data(), state().path, [&] { return removeAt(path); });
}

std::size_t Document::removeAt(const std::string& path) {
    const XmlPathQuery query(path);
    if (query.resultKind() != XmlPathQuery::ResultKind::Nodes)
        throw std::invalid_argument("only what a path selects can be deleted, not a function: " + path);
    const std::vector<XmlPathQuery::Match> targets = query.all(state().parser.rootElement());
    for (const XmlPathQuery::Match& t : targets)
        if (t.kind == XmlPathQuery::Match::Document) throw std::invalid_argument("the document itself cannot be deleted");
    if (!targets.empty()) state().changed = true;
    for (const XmlPathQuery::Match& t : targets) XmlPathQuery::remove(t);
    return targets.size();
}

Records Document::records(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string parentPath = slash == std::string::npos ? std::string() : path.substr(0, slash);
    // The path is read by the engine first, as every other path is: what it refuses ("$v",
    // "a/child::b") raises its SyntaxError, what is no path ("1") is refused below, and neither
    // is taken for a record name that nothing matches. "line.item" is a name; "." and ".." are not.
    const bool nodes = XmlPathQuery(path).resultKind() == XmlPathQuery::ResultKind::Nodes;
    // A prefixed name ("p:item") is matched as written, as quarn split matches it: one colon
    // between two names.
    const std::size_t colon = name.find(':');
    auto isName = [](const std::string& part) {
        return !part.empty() && part != "." && part != ".." && part.find_first_of("[]()@=:'\" *|") == std::string::npos;
    };
    const bool plainName = nodes && (colon == std::string::npos
                                         ? isName(name)
                                         : isName(name.substr(0, colon)) && isName(name.substr(colon + 1)));
    if (!(plainName || name == "*") || (slash != std::string::npos && parentPath.empty()) ||
        (!parentPath.empty() && parentPath.back() == '/'))
        throw std::invalid_argument("records(): the last step must be a name or '*' after a path to their parent: " +
                                    path);
    State& s = state();
    // Records are used as they are scanned: a fault near the end must be known before the first.
    if (!s.parser.rootElement()->isCompleteRight()) s.parser.checkBitStream(s.input, s.encoding, s.ccsid);
    checkInputKept();
    KelSyntaxElement* parent = s.parser.rootElement();
    if (!parentPath.empty()) {
        const XmlPathQuery::Match m = XmlPathQuery(parentPath).first(parent);
        if (m && m.kind != XmlPathQuery::Match::Element && m.kind != XmlPathQuery::Match::Document)
            throw std::invalid_argument("records(): the records' parent must be an element: " + parentPath);
        parent = m ? m.element : nullptr;
    }
    s.changed = true;   // the walk deletes what it passes
    const Node prototype(s.parser.rootElement(), Node::Kind::Document, s.input.data(), s.input.length(), &s.changed);
    return Records(parent, name, prototype, &s.walks);
}

std::string Document::write(int ccsid, int encoding) {
    return KelMappedFile::whileKept(state().input.data(), state().path, [&] { return written(ccsid, encoding); });
}

std::string Document::written(int ccsid, int encoding) {
    checkEncoding(encoding);
    const int outCcsid = ccsid == ccsid::same ? state().ccsid : ccsid;
    const int outEncoding = encoding == encoding::same ? state().encoding : encoding;
    // Handing the input back whole reads none of it; an empty input, though, is no document to
    // hand back, so it is read, and refused as any reading of it is.
    if (state().input.length() == 0) state().parser.rootElement()->firstChild();
    state().parser.setReuseBitStream(!state().changed);
    // An unchanged message is handed back whole, unscanned: it is checked first (without a tree,
    // once), so that a broken message fails here as it fails navigation.
    if (!state().changed && !state().parser.rootElement()->isCompleteRight())
        state().parser.checkBitStream(state().input, state().encoding, state().ccsid);
    KelWriteBuffer out(outCcsid);
    state().parser.refreshBitStreamFromElements(nullptr, &out, state().parser.rootElement(), outEncoding, outCcsid);
    return std::string(reinterpret_cast<const char*>(out.data()), static_cast<std::size_t>(out.used()));
}

void Document::save(const std::string& path, int ccsid, int encoding) {
    const std::string bytes = write(ccsid, encoding);
    // As the command writes -o: a file is replaced whole or not at all, a link is followed, and a
    // pipe or a device is written into, never replaced by a file.
    KelOutputFile::write(path, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

void Document::setLimits(const XmlBuilderLimits& limits) { state().parser.setLimits(limits); }

KelParser& Document::parser() {
    state().changed = true;
    return state().parser;
}

KelSyntaxElement* Document::root() {
    state().changed = true;
    return state().parser.rootElement();
}

} // namespace quarn

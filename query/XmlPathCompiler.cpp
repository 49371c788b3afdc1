#include "query/XmlPathCompiler.hpp"

#include "query/XmlPathQuery.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {
bool isNameStartByte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80;
}
bool isNameByte(unsigned char c) {
    return isNameStartByte(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':';
}
bool isDigit(char c) { return c >= '0' && c <= '9'; }
std::shared_ptr<XmlPathExpr> node(XmlPathExpr::Kind kind) {
    auto e = std::make_shared<XmlPathExpr>();
    e->kind = kind;
    return e;
}
bool isNodeType(const std::string& name) {
    return name == "text" || name == "node" || name == "comment" || name == "processing-instruction";
}

// The functions of the engine: name, call, fewest and most arguments (-1: any number), and
// whether every argument must be a node set.
struct FunctionEntry {
    const char* name;
    XmlPathExpr::Call call;
    int least, most;
    bool nodeSets;
};
const FunctionEntry kFunctions[] = {
    {"last", XmlPathExpr::Last, 0, 0, false},
    {"position", XmlPathExpr::Position, 0, 0, false},
    {"count", XmlPathExpr::Count, 1, 1, true},
    {"local-name", XmlPathExpr::LocalName, 0, 1, true},
    {"namespace-uri", XmlPathExpr::NamespaceUri, 0, 1, true},
    {"name", XmlPathExpr::Name, 0, 1, true},
    {"string", XmlPathExpr::String, 0, 1, false},
    {"concat", XmlPathExpr::Concat, 2, -1, false},
    {"starts-with", XmlPathExpr::StartsWith, 2, 2, false},
    {"contains", XmlPathExpr::Contains, 2, 2, false},
    {"substring-before", XmlPathExpr::SubstringBefore, 2, 2, false},
    {"substring-after", XmlPathExpr::SubstringAfter, 2, 2, false},
    {"substring", XmlPathExpr::Substring, 2, 3, false},
    {"string-length", XmlPathExpr::StringLength, 0, 1, false},
    {"normalize-space", XmlPathExpr::NormalizeSpace, 0, 1, false},
    {"translate", XmlPathExpr::Translate, 3, 3, false},
    {"boolean", XmlPathExpr::Boolean, 1, 1, false},
    {"not", XmlPathExpr::Not, 1, 1, false},
    {"true", XmlPathExpr::True, 0, 0, false},
    {"false", XmlPathExpr::False, 0, 0, false},
    {"number", XmlPathExpr::NumberOf, 0, 1, false},
    {"sum", XmlPathExpr::Sum, 1, 1, true},
    {"floor", XmlPathExpr::Floor, 1, 1, false},
    {"ceiling", XmlPathExpr::Ceiling, 1, 1, false},
    {"round", XmlPathExpr::Round, 1, 1, false},
};
// Functions of the language that the engine leaves out: named as such, not as unknown.
const char* const kUnsupported[] = {"lang", "id"};
} // namespace

std::shared_ptr<const XmlPathExpr> XmlPathCompiler::compile(const std::string& text, const Namespaces& namespaces) {
    XmlPathCompiler c(text, namespaces);
    c.skipSpace();
    if (c.iPos == text.size()) c.fail("empty path expression");
    auto e = c.orExpr();
    c.skipSpace();
    if (c.iPos != text.size()) c.fail("unexpected '" + text.substr(c.iPos, 10) + "'");
    return e;
}

void XmlPathCompiler::fail(const std::string& message) const {
    throw XmlPathQuery::SyntaxError("path expression '" + iText + "': " + message + " at character " +
                                        std::to_string(iPos + 1),
                                    iPos);
}

void XmlPathCompiler::failAt(std::size_t offset, const std::string& message) {
    iPos = offset;
    fail(message);
}

void XmlPathCompiler::skipSpace() {
    while (iPos < iText.size() && (iText[iPos] == ' ' || iText[iPos] == '\t' || iText[iPos] == '\n' || iText[iPos] == '\r'))
        ++iPos;
}

bool XmlPathCompiler::peek(const char* token) {
    skipSpace();
    return iText.compare(iPos, std::strlen(token), token) == 0;
}

bool XmlPathCompiler::accept(const char* token) {
    if (!peek(token)) return false;
    iPos += std::strlen(token);
    return true;
}

bool XmlPathCompiler::acceptWord(const char* word) {
    const std::size_t n = std::strlen(word);
    if (!peek(word) || (iPos + n < iText.size() && isNameByte(static_cast<unsigned char>(iText[iPos + n])))) return false;
    iPos += n;
    return true;
}

void XmlPathCompiler::expect(const char* token) {
    if (!accept(token)) fail(std::string("expected '") + token + "'");
}

bool XmlPathCompiler::atNameStart() {
    skipSpace();
    return iPos < iText.size() && isNameStartByte(static_cast<unsigned char>(iText[iPos]));
}

std::string XmlPathCompiler::readName() {
    if (!atNameStart()) fail("expected a name");
    std::size_t start = iPos;
    while (iPos < iText.size() && isNameByte(static_cast<unsigned char>(iText[iPos]))) ++iPos;
    // "a:b" is a name; "child::a" is an axis, which is not part of the subset.
    std::size_t axis = iText.find("::", start);
    if (axis != std::string::npos && axis <= iPos) {
        iPos = axis;
        fail("axes other than the abbreviated ones are not supported");
    }
    return iText.substr(start, iPos - start);
}

XmlPathLocation XmlPathCompiler::location() {
    XmlPathLocation path;
    if (accept("//")) {
        path.absolute = true;
        XmlPathStep dos;
        dos.axis = XmlPathStep::DescendantOrSelf;
        dos.test = XmlPathStep::AnyNode;
        path.steps.push_back(dos);
    } else if (accept("/")) {
        path.absolute = true;
        // "/" alone is the document node.
        skipSpace();
        const bool needStep = iPos < iText.size() && (iText[iPos] == '.' || iText[iPos] == '@' || iText[iPos] == '*' ||
                                                      isNameStartByte(static_cast<unsigned char>(iText[iPos])));
        if (!needStep) return path;
    }
    relativeSteps(path);
    return path;
}

void XmlPathCompiler::relativeSteps(XmlPathLocation& path) {
    for (;;) {
        step(path);
        if (accept("//")) {
            XmlPathStep dos;
            dos.axis = XmlPathStep::DescendantOrSelf;
            dos.test = XmlPathStep::AnyNode;
            path.steps.push_back(dos);
        } else if (!accept("/")) {
            break;
        }
    }
    checkLength(path);
}

void XmlPathCompiler::checkLength(const XmlPathLocation& path) {
    // The walk keeps the steps a node satisfies as the bits of one word.
    if (path.steps.size() > 62) fail("a path of more than 62 steps");
}

void XmlPathCompiler::step(XmlPathLocation& path) {
    skipSpace();
    if (accept("..")) {
        addParentStep(path);
        return;
    }
    if (iPos < iText.size() && iText[iPos] == '.' && !(iPos + 1 < iText.size() && isDigit(iText[iPos + 1]))) {
        ++iPos;   // the node itself
        return;
    }
    XmlPathStep s;
    const std::size_t start = iPos;
    if (!path.steps.empty() && path.steps.back().axis == XmlPathStep::Attribute) fail("an attribute has no children");
    if (accept("@")) {
        s.axis = XmlPathStep::Attribute;
        if (accept("*")) {
            s.test = XmlPathStep::AnyAttribute;
        } else {
            nameTest(s, iPos);
        }
    } else if (accept("*")) {
        s.test = XmlPathStep::AnyElement;
    } else {
        const std::size_t nameStart = iPos;
        std::string name = readName();
        if (accept("(")) {
            // processing-instruction('target') takes the instructions of that target only.
            skipSpace();
            if (name == "processing-instruction" && iPos < iText.size() && (iText[iPos] == '\'' || iText[iPos] == '"')) {
                const std::size_t end = iText.find(iText[iPos], iPos + 1);
                if (end == std::string::npos) fail("unterminated string");
                s.name = KelStringBase::fromUtf8(iText.substr(iPos + 1, end - iPos - 1));
                s.piTarget = true;
                iPos = end + 1;
            }
            expect(")");
            if (name == "text") s.test = XmlPathStep::Text;
            else if (name == "node") s.test = XmlPathStep::AnyNode;
            else if (name == "comment") s.test = XmlPathStep::Comment;
            else if (name == "processing-instruction") s.test = XmlPathStep::ProcessingInstruction;
            else failAt(start, "'" + name + "()' is not a node test of the supported subset");
        } else {
            iPos = nameStart;
            nameTest(s, nameStart);
        }
    }
    while (accept("[")) {
        s.predicates.push_back(orExpr());
        expect("]");
    }
    path.steps.push_back(std::move(s));
}

void XmlPathCompiler::nameTest(XmlPathStep& s, std::size_t start) {
    std::string name = readName();
    const bool wildcard = !name.empty() && name.back() == ':' && iPos < iText.size() && iText[iPos] == '*';
    const std::size_t colon = name.find(':');
    const char* uri = nullptr;
    if (colon != std::string::npos && colon > 0)
        for (const auto& binding : iNamespaces)
            if (binding.first == name.substr(0, colon)) uri = binding.second.c_str();
    if (wildcard) {
        // "p:*": any name in the namespace p stands for, which only a binding can say.
        if (!uri) failAt(start, "the prefix of '" + name + "*' is not bound (bind it with -N " + name.substr(0, colon) + "=URI)");
        ++iPos;
        s.test = s.axis == XmlPathStep::Attribute ? XmlPathStep::AnyAttribute : XmlPathStep::AnyElement;
        s.inNamespace = true;
        s.uri = KelStringBase::fromUtf8(uri);
        return;
    }
    if (!uri) {
        s.name = KelStringBase::fromUtf8(name);   // unbound: the name as the document writes it
        return;
    }
    if (name.size() == colon + 1 || name.find(':', colon + 1) != std::string::npos) failAt(start, "'" + name + "' is not a name");
    s.name = KelStringBase::fromUtf8(name.substr(colon + 1));
    s.inNamespace = true;
    s.uri = KelStringBase::fromUtf8(uri);
}

void XmlPathCompiler::addParentStep(XmlPathLocation& path) {
    // '..' returns to the node the previous step started from, kept only if that step found
    // something there: "a/b/.." is "a[b]". This keeps every path a forward walk.
    if (path.steps.empty()) {
        if (path.absolute) {
            path.neverMatches = true;   // the document node has no parent
        } else {
            ++path.leadingParents;
        }
        return;
    }
    XmlPathStep last = std::move(path.steps.back());
    path.steps.pop_back();
    if (last.axis == XmlPathStep::DescendantOrSelf) fail("'..' right after '//' is not supported");
    if (last.axis == XmlPathStep::Self && path.absolute && path.steps.size() == 1 &&
        path.steps[0].axis == XmlPathStep::DescendantOrSelf) {
        // "//x/../..": the parents of nodes that pass the test are the nodes with such a child
        // (the document node, where '//' starts, has no parent to miss).
        XmlPathStep child;
        child.axis = XmlPathStep::Child;
        child.test = XmlPathStep::AnyNode;
        child.predicates = std::move(last.predicates);
        last.predicates.clear();
        last.predicates.push_back(existsPredicate(std::move(child)));
        path.steps.push_back(std::move(last));
        return;
    }
    if (last.axis == XmlPathStep::Self) {
        // The tested node's own parent: only at the start of a relative path.
        if (!path.steps.empty() || path.absolute || path.leadingParents != 0) fail("this use of '..' is not supported");
        path.contextPredicates = std::move(last.predicates);
        path.leadingParents = 1;
        return;
    }
    std::shared_ptr<const XmlPathExpr> exists = existsPredicate(std::move(last));
    if (!path.steps.empty() && path.steps.back().axis != XmlPathStep::DescendantOrSelf) {
        path.steps.back().predicates.push_back(exists);
    } else {
        XmlPathStep self;
        self.axis = XmlPathStep::Self;
        self.test = XmlPathStep::AnyNode;
        self.predicates.push_back(exists);
        path.steps.push_back(std::move(self));
    }
}

std::shared_ptr<const XmlPathExpr> XmlPathCompiler::orExpr() {
    // Compiling and evaluating recurse along the nesting; an expression is never deep.
    if (iDepth >= 64) fail("predicates or parentheses nested more than 64 deep");
    struct Nesting {
        int& depth;
        explicit Nesting(int& d) : depth(++d) {}
        ~Nesting() { --depth; }
    } nesting(iDepth);
    auto left = andExpr();
    while (acceptWord("or")) {
        left = joined(XmlPathExpr::Or, left, andExpr());
    }
    return left;
}

std::shared_ptr<const XmlPathExpr> XmlPathCompiler::andExpr() {
    auto left = equality();
    while (acceptWord("and")) {
        left = joined(XmlPathExpr::And, left, equality());
    }
    return left;
}

std::shared_ptr<const XmlPathExpr> XmlPathCompiler::equality() {
    auto left = relational();
    for (;;) {
        XmlPathExpr::Kind kind;
        if (accept("!=")) kind = XmlPathExpr::NotEqual;
        else if (accept("=")) kind = XmlPathExpr::Equal;
        else return left;
        left = joined(kind, left, relational());
    }
}

std::shared_ptr<const XmlPathExpr> XmlPathCompiler::relational() {
    auto left = additive();
    for (;;) {
        XmlPathExpr::Kind kind;
        if (accept("<=")) kind = XmlPathExpr::LessOrEqual;
        else if (accept(">=")) kind = XmlPathExpr::GreaterOrEqual;
        else if (accept("<")) kind = XmlPathExpr::Less;
        else if (accept(">")) kind = XmlPathExpr::Greater;
        else return left;
        left = joined(kind, left, additive());
    }
}

std::shared_ptr<const XmlPathExpr> XmlPathCompiler::additive() {
    auto left = multiplicative();
    for (;;) {
        XmlPathExpr::Kind kind;
        if (accept("+")) kind = XmlPathExpr::Add;
        else if (accept("-")) kind = XmlPathExpr::Subtract;
        else return left;
        left = joined(kind, left, multiplicative());
    }
}

std::shared_ptr<const XmlPathExpr> XmlPathCompiler::multiplicative() {
    auto left = unary();
    for (;;) {
        // After an operand, '*' multiplies and "div" and "mod" are operators, not names.
        XmlPathExpr::Kind kind;
        if (accept("*")) kind = XmlPathExpr::Multiply;
        else if (acceptWord("div")) kind = XmlPathExpr::Divide;
        else if (acceptWord("mod")) kind = XmlPathExpr::Modulo;
        else return left;
        left = joined(kind, left, unary());
    }
}

std::shared_ptr<const XmlPathExpr> XmlPathCompiler::unary() {
    int signs = 0;
    while (accept("-")) ++signs;
    auto operand = unionExpr();
    // An even number of signs still turns the operand into a number.
    for (int i = 0; i < (signs == 0 ? 0 : 2 - signs % 2); ++i) {
        operand = joined(XmlPathExpr::Negate, operand, nullptr);
    }
    return operand;
}

std::shared_ptr<const XmlPathExpr> XmlPathCompiler::unionExpr() {
    skipSpace();
    std::size_t start = iPos;
    auto left = pathExpr();
    while (accept("|")) {
        skipSpace();
        const std::size_t rightStart = iPos;
        auto right = pathExpr();
        if (!left->isNodeSet()) failAt(start, "'|' joins node sets only");
        if (!right->isNodeSet()) failAt(rightStart, "'|' joins node sets only");
        left = joined(XmlPathExpr::Union, left, right);
    }
    return left;
}

std::shared_ptr<const XmlPathExpr> XmlPathCompiler::pathExpr() {
    skipSpace();
    if (iPos >= iText.size()) fail("expected a value");
    const std::size_t start = iPos;
    const char c = iText[iPos];
    bool isPrimary = c == '(' || c == '\'' || c == '"' || c == '$' || isDigit(c) ||
                     (c == '.' && iPos + 1 < iText.size() && isDigit(iText[iPos + 1]));
    if (!isPrimary && atNameStart()) {
        // A name followed by '(' calls a function, unless it is a node test.
        std::string name = readName();
        skipSpace();
        isPrimary = iPos < iText.size() && iText[iPos] == '(' && !isNodeType(name);
        iPos = start;
    }
    if (!isPrimary) {
        auto e = node(XmlPathExpr::Path);
        e->path = location();
        return settled(std::move(e));
    }
    auto p = primary();
    std::vector<std::shared_ptr<const XmlPathExpr>> predicates;
    while (accept("[")) {
        predicates.push_back(orExpr());
        expect("]");
    }
    if (predicates.empty() && !peek("/")) return p;
    if (!p->isNodeSet()) failAt(start, "a predicate or a step after a value that is not a node set");
    auto f = node(XmlPathExpr::Filter);
    f->left = p;
    f->predicates = std::move(predicates);
    if (accept("//")) {
        XmlPathStep dos;
        dos.axis = XmlPathStep::DescendantOrSelf;
        dos.test = XmlPathStep::AnyNode;
        f->path.steps.push_back(dos);
        relativeSteps(f->path);
    } else if (accept("/")) {
        relativeSteps(f->path);
    }
    return settled(std::move(f));
}

std::shared_ptr<const XmlPathExpr> XmlPathCompiler::primary() {
    skipSpace();
    const std::size_t start = iPos;
    const char c = iText[iPos];
    if (c == '(') {
        ++iPos;
        auto e = orExpr();
        expect(")");
        return e;
    }
    if (c == '\'' || c == '"') {
        std::size_t end = iText.find(c, iPos + 1);
        if (end == std::string::npos) fail("unterminated string");
        auto e = node(XmlPathExpr::Literal);
        e->literal = KelStringBase::fromUtf8(iText.substr(iPos + 1, end - iPos - 1));
        iPos = end + 1;
        return e;
    }
    if (c == '$') fail("variables are not supported");
    if (isDigit(c) || c == '.') {
        while (iPos < iText.size() && isDigit(iText[iPos])) ++iPos;
        if (iPos < iText.size() && iText[iPos] == '.') {
            ++iPos;
            while (iPos < iText.size() && isDigit(iText[iPos])) ++iPos;
        }
        auto e = node(XmlPathExpr::Number);
        e->number = std::strtod(iText.substr(start, iPos - start).c_str(), nullptr);
        return e;
    }
    std::string name = readName();
    expect("(");
    return functionCall(name, start);
}

std::shared_ptr<const XmlPathExpr> XmlPathCompiler::functionCall(const std::string& name, std::size_t start) {
    const FunctionEntry* entry = nullptr;
    for (const FunctionEntry& f : kFunctions)
        if (name == f.name) entry = &f;
    if (!entry) {
        for (const char* u : kUnsupported)
            if (name == u) failAt(start, "function " + name + "() is not supported");
        failAt(start, "unknown function " + name + "()");
    }
    auto e = node(XmlPathExpr::Function);
    e->call = entry->call;
    if (!accept(")")) {
        for (;;) {
            skipSpace();
            const std::size_t argument = iPos;
            auto a = orExpr();
            if (entry->nodeSets && !a->isNodeSet()) failAt(argument, "function " + name + "() takes a node set");
            e->arguments.push_back(std::move(a));
            if (accept(")")) break;
            if (!accept(",")) fail("expected ')'");
        }
    }
    const int n = static_cast<int>(e->arguments.size());
    if (n < entry->least || (entry->most >= 0 && n > entry->most)) {
        std::string count = entry->least == entry->most ? std::to_string(entry->least)
                            : entry->most < 0        ? std::to_string(entry->least) + " or more"
                                                     : std::to_string(entry->least) + " to " + std::to_string(entry->most);
        failAt(start, "function " + name + "() takes " + count + " argument" + (entry->most == 1 && entry->least == 1 ? "" : "s"));
    }
    return settled(std::move(e));
}

std::shared_ptr<const XmlPathExpr> XmlPathCompiler::joined(XmlPathExpr::Kind kind, std::shared_ptr<const XmlPathExpr> left,
                                                           std::shared_ptr<const XmlPathExpr> right) {
    auto e = node(kind);
    e->left = std::move(left);
    e->right = std::move(right);
    return settled(std::move(e));
}

// A step turned into a predicate: "the node has such a child (or attribute)".
std::shared_ptr<const XmlPathExpr> XmlPathCompiler::existsPredicate(XmlPathStep step) {
    auto e = node(XmlPathExpr::Path);
    e->path.steps.push_back(std::move(step));
    return settled(std::move(e));
}

std::shared_ptr<XmlPathExpr> XmlPathCompiler::settled(std::shared_ptr<XmlPathExpr> e) {
    // A chain of operators nests without a parenthesis ("1+1+1" is ((1+1)+1)), and each '..'
    // nests the step it leaves in a predicate; the nesting bound above does not see either.
    int below = 0;
    const auto under = [&below](const std::shared_ptr<const XmlPathExpr>& child) {
        if (child) below = std::max(below, child->depth);
    };
    const auto underAll = [&under](const std::vector<std::shared_ptr<const XmlPathExpr>>& children) {
        for (const auto& child : children) under(child);
    };
    under(e->left);
    under(e->right);
    underAll(e->arguments);
    underAll(e->predicates);
    underAll(e->path.contextPredicates);
    for (const XmlPathStep& s : e->path.steps) underAll(s.predicates);
    e->depth = below + 1;
    if (e->depth > 256) fail("operators, predicates and calls nested more than 256 deep");
    return e;
}

#include "query/XmlPathCompiler.hpp"

#include "query/XmlPathQuery.hpp"

#include <cstdlib>
#include <cstring>

namespace {
bool isNameStartByte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80;
}
bool isNameByte(unsigned char c) {
    return isNameStartByte(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':';
}
std::shared_ptr<XmlPathExpr> node(XmlPathExpr::Kind kind) {
    auto e = std::make_shared<XmlPathExpr>();
    e->kind = kind;
    return e;
}
// A step turned into a predicate: "the node has such a child (or attribute)".
std::shared_ptr<const XmlPathExpr> existsPredicate(XmlPathStep step) {
    auto e = node(XmlPathExpr::Path);
    e->path.steps.push_back(std::move(step));
    return e;
}
} // namespace

XmlPathCompiler::Result XmlPathCompiler::compile(const std::string& text) {
    XmlPathCompiler c(text);
    Result r;
    c.skipSpace();
    if (c.iPos == text.size()) c.fail("empty path expression");
    if (c.accept("count(")) {
        r.function = Function::Count;
        r.path = c.location(false);
        c.expect(")");
    } else if (c.accept("string(")) {
        r.function = Function::String;
        r.path = c.location(true);
        c.expect(")");
    } else {
        r.path = c.location(false);
    }
    c.skipSpace();
    if (c.iPos != text.size()) c.fail("unexpected '" + text.substr(c.iPos, 10) + "'");
    if (r.path.steps.size() > 62) c.fail("a path of more than 62 steps");
    return r;
}

void XmlPathCompiler::fail(const std::string& message) const {
    throw XmlPathQuery::SyntaxError("path expression '" + iText + "': " + message + " at character " +
                                        std::to_string(iPos + 1),
                                    iPos);
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

XmlPathLocation XmlPathCompiler::location(bool allowEmpty) {
    XmlPathLocation path;
    bool needStep = true;
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
        needStep = iPos < iText.size() && (iText[iPos] == '.' || iText[iPos] == '@' || iText[iPos] == '*' ||
                                           isNameStartByte(static_cast<unsigned char>(iText[iPos])));
        if (!needStep) return path;
    } else if (allowEmpty && (peek(")") || iPos >= iText.size())) {
        return path;
    }
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
    return path;
}

void XmlPathCompiler::step(XmlPathLocation& path) {
    skipSpace();
    if (accept("..")) {
        addParentStep(path);
        return;
    }
    if (iPos < iText.size() && iText[iPos] == '.' &&
        !(iPos + 1 < iText.size() && iText[iPos + 1] >= '0' && iText[iPos + 1] <= '9')) {
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
            s.name = KelStringBase::fromUtf8(readName());
        }
    } else if (accept("*")) {
        s.test = XmlPathStep::AnyElement;
    } else {
        std::string name = readName();
        if (accept("(")) {
            expect(")");
            if (name == "text") s.test = XmlPathStep::Text;
            else if (name == "node") s.test = XmlPathStep::AnyNode;
            else if (name == "comment") s.test = XmlPathStep::Comment;
            else if (name == "processing-instruction") s.test = XmlPathStep::ProcessingInstruction;
            else {
                iPos = start;
                fail("'" + name + "()' is not a node test of the supported subset");
            }
        } else {
            s.name = KelStringBase::fromUtf8(name);
        }
    }
    while (accept("[")) {
        s.predicates.push_back(orExpr());
        expect("]");
    }
    path.steps.push_back(std::move(s));
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
    while (peek("or") && !(iPos + 2 < iText.size() && isNameByte(static_cast<unsigned char>(iText[iPos + 2])))) {
        iPos += 2;
        auto e = node(XmlPathExpr::Or);
        e->left = left;
        e->right = andExpr();
        left = e;
    }
    return left;
}

std::shared_ptr<const XmlPathExpr> XmlPathCompiler::andExpr() {
    auto left = comparison();
    while (peek("and") && !(iPos + 3 < iText.size() && isNameByte(static_cast<unsigned char>(iText[iPos + 3])))) {
        iPos += 3;
        auto e = node(XmlPathExpr::And);
        e->left = left;
        e->right = comparison();
        left = e;
    }
    return left;
}

std::shared_ptr<const XmlPathExpr> XmlPathCompiler::comparison() {
    auto left = operand();
    static const struct {
        const char* token;
        XmlPathExpr::Kind kind;
    } ops[] = {{"!=", XmlPathExpr::NotEqual}, {"<=", XmlPathExpr::LessOrEqual}, {">=", XmlPathExpr::GreaterOrEqual},
               {"=", XmlPathExpr::Equal},     {"<", XmlPathExpr::Less},         {">", XmlPathExpr::Greater}};
    for (const auto& op : ops) {
        if (accept(op.token)) {
            auto e = node(op.kind);
            e->left = left;
            e->right = operand();
            return e;
        }
    }
    return left;
}

std::shared_ptr<const XmlPathExpr> XmlPathCompiler::operand() {
    skipSpace();
    if (iPos >= iText.size()) fail("expected a value");
    char c = iText[iPos];
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
    if ((c >= '0' && c <= '9') || (c == '.' && iPos + 1 < iText.size() && iText[iPos + 1] >= '0' && iText[iPos + 1] <= '9')) {
        std::size_t start = iPos;
        while (iPos < iText.size() && ((iText[iPos] >= '0' && iText[iPos] <= '9') || iText[iPos] == '.')) ++iPos;
        auto e = node(XmlPathExpr::Number);
        e->number = std::strtod(iText.substr(start, iPos - start).c_str(), nullptr);
        return e;
    }
    static const struct {
        const char* token;
        XmlPathExpr::Kind kind;
    } functions[] = {{"last()", XmlPathExpr::Last}, {"position()", XmlPathExpr::Position},
                     {"true()", XmlPathExpr::True}, {"false()", XmlPathExpr::False}};
    for (const auto& f : functions)
        if (accept(f.token)) return node(f.kind);
    if (accept("not(")) {
        auto e = node(XmlPathExpr::Not);
        e->left = orExpr();
        expect(")");
        return e;
    }
    if (accept("count(")) {
        auto e = node(XmlPathExpr::Count);
        e->path = location(false);
        expect(")");
        return e;
    }
    if (accept("string(")) {
        auto e = node(XmlPathExpr::String);
        e->path = location(true);
        expect(")");
        return e;
    }
    auto e = node(XmlPathExpr::Path);
    e->path = location(false);
    return e;
}

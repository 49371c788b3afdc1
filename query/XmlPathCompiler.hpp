// XmlPathCompiler: turns the text of a path expression into its compiled form (XmlPathSyntax),
// rejecting what lies outside the supported subset with the offset where it went wrong, and
// naming what it does not support (a function, an axis) rather than the token it stopped at.
// One object per compilation; no shared state.
#pragma once

#include "query/XmlPathSyntax.hpp"

#include <memory>
#include <string>
#include <utility>
#include <vector>

class XmlPathCompiler {
public:
    using Namespaces = std::vector<std::pair<std::string, std::string>>;   // prefix, URI

    // Raises XmlPathQuery::SyntaxError. A name whose prefix `namespaces` binds is matched by its
    // namespace; any other name, prefixed or not, by its whole text.
    static std::shared_ptr<const XmlPathExpr> compile(const std::string& text, const Namespaces& namespaces = {});

private:
    XmlPathCompiler(const std::string& text, const Namespaces& namespaces) : iText(text), iNamespaces(namespaces) {}

    [[noreturn]] void fail(const std::string& message) const;
    [[noreturn]] void failAt(std::size_t offset, const std::string& message);
    void skipSpace();
    bool peek(const char* token);      // after white space
    bool accept(const char* token);
    bool acceptWord(const char* word); // an operator name, not the start of a longer name
    void expect(const char* token);
    bool atNameStart();
    std::string readName();
    void nameTest(XmlPathStep& s, std::size_t start);
    XmlPathLocation location();
    void relativeSteps(XmlPathLocation& path);
    void checkLength(const XmlPathLocation& path);
    void step(XmlPathLocation& path);
    void addParentStep(XmlPathLocation& path);
    std::shared_ptr<const XmlPathExpr> orExpr();
    std::shared_ptr<const XmlPathExpr> andExpr();
    std::shared_ptr<const XmlPathExpr> equality();
    std::shared_ptr<const XmlPathExpr> relational();
    std::shared_ptr<const XmlPathExpr> additive();
    std::shared_ptr<const XmlPathExpr> multiplicative();
    std::shared_ptr<const XmlPathExpr> unary();
    std::shared_ptr<const XmlPathExpr> unionExpr();
    std::shared_ptr<const XmlPathExpr> pathExpr();
    std::shared_ptr<const XmlPathExpr> primary();
    std::shared_ptr<const XmlPathExpr> functionCall(const std::string& name, std::size_t start);
    std::shared_ptr<const XmlPathExpr> joined(XmlPathExpr::Kind kind, std::shared_ptr<const XmlPathExpr> left,
                                              std::shared_ptr<const XmlPathExpr> right);
    std::shared_ptr<const XmlPathExpr> existsPredicate(XmlPathStep step);
    std::shared_ptr<XmlPathExpr> settled(std::shared_ptr<XmlPathExpr> e);

    const std::string& iText;
    const Namespaces& iNamespaces;
    std::size_t iPos = 0;
    int iDepth = 0;   // predicates, parentheses, arguments and signs open at once
};

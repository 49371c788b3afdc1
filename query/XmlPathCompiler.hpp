// XmlPathCompiler: turns the text of a path expression into its compiled form (XmlPathSyntax),
// rejecting what lies outside the supported subset with the offset where it went wrong.
// One object per compilation; no shared state.
#pragma once

#include "query/XmlPathSyntax.hpp"

#include <string>

class XmlPathCompiler {
public:
    enum class Function { None, Count, String };
    struct Result {
        Function function = Function::None;
        XmlPathLocation path;
    };

    // Raises XmlPathQuery::SyntaxError.
    static Result compile(const std::string& text);

private:
    explicit XmlPathCompiler(const std::string& text) : iText(text) {}

    [[noreturn]] void fail(const std::string& message) const;
    void skipSpace();
    bool peek(const char* token);      // after white space
    bool accept(const char* token);
    void expect(const char* token);
    bool atNameStart();
    std::string readName();
    XmlPathLocation location(bool allowEmpty);
    void step(XmlPathLocation& path);
    void addParentStep(XmlPathLocation& path);
    std::shared_ptr<const XmlPathExpr> orExpr();
    std::shared_ptr<const XmlPathExpr> andExpr();
    std::shared_ptr<const XmlPathExpr> comparison();
    std::shared_ptr<const XmlPathExpr> operand();

    const std::string& iText;
    std::size_t iPos = 0;
    int iDepth = 0;   // predicates and parentheses open at once
};

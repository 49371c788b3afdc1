// XmlPathSyntax: the compiled form of a path expression, as the compiler builds it and the
// query engine walks it. Immutable once built; shared between copies of a query.
#pragma once

#include "host/KelStringBase.hpp"

#include <memory>
#include <vector>

struct XmlPathExpr;

struct XmlPathStep {
    // Child also stands for the child step after '//'; DescendantOrSelf is the '//' itself; Self
    // carries predicates that a '..' turned into a test on the node it returns to.
    enum Axis { Child, Attribute, DescendantOrSelf, Self };
    enum Test { Name, AnyElement, Text, AnyNode, Comment, ProcessingInstruction, AnyAttribute };
    Axis axis = Child;
    Test test = Name;
    // With `inNamespace`, a Name test compares the local part of a name with `name` and the
    // namespace the document's declarations give it with `uri`; AnyElement and AnyAttribute
    // ("p:*", "@p:*") take any name in `uri`. Without, `name` is compared whole.
    KelStringBase name;
    bool inNamespace = false;
    // processing-instruction('target'): `name` is the target the instruction must have.
    bool piTarget = false;
    KelStringBase uri;
    std::vector<std::shared_ptr<const XmlPathExpr>> predicates;
};

struct XmlPathLocation {
    bool absolute = false;
    bool neverMatches = false;   // "/.." and the like
    // Predicates on the context node itself, tested before climbing `leadingParents` levels.
    std::vector<std::shared_ptr<const XmlPathExpr>> contextPredicates;
    int leadingParents = 0;
    std::vector<XmlPathStep> steps;
};

struct XmlPathExpr {
    enum Kind {
        Or, And, Equal, NotEqual, Less, LessOrEqual, Greater, GreaterOrEqual,
        Add, Subtract, Multiply, Divide, Modulo, Negate,
        Literal, Number,
        Path,     // a location path, walked lazily
        Union,    // left | right
        Filter,   // left (a node set) with `predicates`, then `path` from each of its nodes
        Function  // `call` with `arguments`
    };
    enum Call {
        Last, Position, Count, LocalName, NamespaceUri, Name,
        String, Concat, StartsWith, Contains, SubstringBefore, SubstringAfter, Substring, StringLength,
        NormalizeSpace, Translate,
        Boolean, Not, True, False,
        NumberOf, Sum, Floor, Ceiling, Round
    };
    Kind kind = Literal;
    Call call = Last;
    std::shared_ptr<const XmlPathExpr> left, right;
    std::vector<std::shared_ptr<const XmlPathExpr>> arguments;
    std::vector<std::shared_ptr<const XmlPathExpr>> predicates;
    KelStringBase literal;
    double number = 0;
    XmlPathLocation path;
    // This node and the deepest chain of operands, arguments and predicates below it: what
    // evaluating, testing and freeing it recurse through. The compiler bounds it.
    int depth = 1;

    bool isNodeSet() const noexcept { return kind == Path || kind == Union || kind == Filter; }
};

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
    KelStringBase name;
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
    enum Kind { Or, And, Not, Equal, NotEqual, Less, LessOrEqual, Greater, GreaterOrEqual, Literal, Number,
                Path, Position, Last, Count, String, True, False };
    Kind kind = Literal;
    std::shared_ptr<const XmlPathExpr> left, right;
    KelStringBase literal;
    double number = 0;
    XmlPathLocation path;
};

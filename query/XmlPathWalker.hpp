// XmlPathWalker: evaluates a compiled location path over an XML-domain tree in one forward walk
// in document order. Every node the walk reaches carries the set of path steps it satisfies, so
// a subtree that no remaining step can enter is never asked for (and never scanned), and the
// walk stops at once when the visitor says so. Predicates are evaluated on each candidate as
// the walk reaches it. Stateless apart from the walk in progress; one walk per object.
#pragma once

#include "query/XmlPathQuery.hpp"
#include "query/XmlPathSyntax.hpp"

#include <cstdint>
#include <functional>
#include <vector>

class XmlPathWalker {
public:
    using Match = XmlPathQuery::Match;
    using Visitor = std::function<bool(const Match&)>;

    // Walks `path` from `context`; false when the visitor stopped the walk.
    static bool walk(const XmlPathLocation& path, const Match& context, const Visitor& visit);
    // The node a host element stands for as a context: the root is the document node.
    static Match contextOf(KelSyntaxElement* element);
    static KelStringBase stringValue(const Match& match);
    static void setValue(const Match& match, const KelStringBase& value);
    static double toNumber(const KelStringBase& text);
    static KelStringBase numberText(double value);

private:
    struct Value;
    struct Position {
        std::size_t position;
        const std::function<std::size_t()>* last;
    };

    XmlPathWalker(const XmlPathLocation& path, const Visitor& visit) : iPath(path), iVisit(visit) {}

    // The walk below one node that some step can still enter; kept on a stack of the walker's
    // own, so that the depth of a document never becomes the depth of the call stack.
    struct Frame;
    bool run(const Match& start, std::uint64_t mask);
    // Settles the steps that stay on `node`, reports it and its attributes, and pushes a frame
    // for its children when a step can go there; false when the visitor stopped the walk.
    bool enter(const Match& node, std::uint64_t mask, std::vector<Frame>& stack);
    bool visitAttributes(KelSyntaxElement* element, std::uint64_t mask, std::vector<Frame>& stack);
    static std::size_t countAttributes(const std::vector<Match>& attributes, const XmlPathStep& step,
                                       std::size_t predicates, std::vector<long>& lastCache);
    std::size_t countCandidates(const Match& parent, const XmlPathStep& step, std::size_t predicates,
                                std::vector<long>& lastCache);

    static bool testNode(const XmlPathStep& step, const Match& node);
    static bool predicate(const XmlPathExpr& expr, const Match& node, const Position& position);
    static Value evaluate(const XmlPathExpr& expr, const Match& node, const Position& position);
    static bool boolean(const Value& value);
    static double number(const Value& value);
    static KelStringBase string(const Value& value);
    static bool compare(const Value& left, const Value& right, XmlPathExpr::Kind op);

    const XmlPathLocation& iPath;
    const Visitor& iVisit;
};

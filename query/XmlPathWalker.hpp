// XmlPathWalker: evaluates a compiled location path over an XML-domain tree in one forward walk
// in document order. Every node the walk reaches carries the set of path steps it satisfies, so
// a subtree that no remaining step can enter is never asked for (and never scanned), and the
// walk stops at once when the visitor says so. Predicates are evaluated on each candidate as
// the walk reaches it. It also evaluates whole expressions: a location path stays a walk that
// stops at its answer (the first node, the first that compares true); unions and filtered sets
// are gathered and put in document order. Stateless apart from the walk in progress; one walk
// per object.
#pragma once

#include "query/XmlPathQuery.hpp"
#include "query/XmlPathSyntax.hpp"

#include <cstdint>
#include <functional>
#include <vector>

class KelSyntaxElementPool;
class XmlNamespaceCache;

class XmlPathWalker {
public:
    using Match = XmlPathQuery::Match;
    using Visitor = std::function<bool(const Match&)>;

    // Walks `path` from `context`; false when the visitor stopped the walk. With `deletePassed`
    // every child the walk has gone past below the document element is detached and deleted
    // (so is its subtree, built only as the scan passed it), which only a path that
    // streamablePath() allows may ask for.
    static bool walk(const XmlPathLocation& path, const Match& context, const Visitor& visit,
                     bool deletePassed = false);
    // The one location path of `expr` that may delete what its walk has passed without changing
    // the answer, or null: the expression walks the tree once, from the context, forwards only
    // (no other path from the context, no union or filtered set that gathers nodes, and in its
    // predicates no last(), no path from the top and no '..' that climbs out of the node). A
    // step's first predicate may ask for the last of the step's siblings ([last()],
    // [position() = last()]): that needs what lies ahead of a candidate, never what lies behind.
    static const XmlPathLocation* streamablePath(const XmlPathExpr& expr);
    // The node a host element stands for as a context: the root is the document node.
    static Match contextOf(KelSyntaxElement* element);
    static KelStringBase stringValue(const Match& match);
    static void setValue(const Match& match, const KelStringBase& value);
    static void remove(const Match& match);
    static std::vector<KelSyntaxElement*> restOfTextRun(KelSyntaxElement* first);
    // The children (attributes included) that the walks of this thread have looked at so far:
    // how much of a tree an evaluation reads, whatever the scan had built before.
    static std::size_t childrenLookedAt() noexcept;
    // The steps up to the top that the walks of this thread have taken for absolute paths.
    static std::size_t stepsUp() noexcept;

    // An expression's value from `context` as each type; `nodes` calls `visit` with the nodes of
    // a node-set expression in document order until it returns false (false then).
    // With `deletePassed`, the walk of streamablePath(expr) (when there is one) deletes behind it.
    static double number(const XmlPathExpr& expr, const Match& context, bool deletePassed = false);
    static KelStringBase string(const XmlPathExpr& expr, const Match& context, bool deletePassed = false);
    static bool boolean(const XmlPathExpr& expr, const Match& context, bool deletePassed = false);
    static bool nodes(const XmlPathExpr& expr, const Match& context, const Visitor& visit, bool deletePassed = false);

private:
    struct Value;
    struct EvaluationCache;
    struct Position {
        std::size_t position;
        const std::function<std::size_t()>* last;
        const XmlPathLocation* streamed = nullptr;   // the path whose walk deletes behind it
        EvaluationCache* cache = nullptr;    // of the evaluation this position is in
    };
    static bool walk(const XmlPathLocation& path, const Match& context, const Visitor& visit, bool deletePassed,
                     EvaluationCache* lists);
    static Position topPosition(const XmlPathExpr& expr, bool deletePassed, EvaluationCache& cache);
    static bool forwardOnly(const XmlPathExpr& expr);
    static bool forwardOnly(const XmlPathLocation& path);
    // Whether a predicate holds for the last candidate of its step alone ([last()],
    // [position() = last()]), so that the next candidate ahead decides it.
    static bool lastOfSiblings(const XmlPathExpr& expr);
    // Whether a sibling after `child` passes the node test of `step`: scans ahead to it only.
    static bool laterCandidate(const Match& parent, const Match& child, const XmlPathStep& step,
                               XmlNamespaceCache* namespaces);
    // Builds ahead in a record whose whole subtree the walk will go through.
    static void readAhead(KelSyntaxElement* element);
    // Deletes what the frames have passed (with iDeletePassed), the frames nearest the top first.
    void deletePassed();

    XmlPathWalker(const XmlPathLocation& path, const Visitor& visit);
    ~XmlPathWalker();
    XmlPathWalker(const XmlPathWalker&) = delete;
    XmlPathWalker& operator=(const XmlPathWalker&) = delete;

    // The walk below one node that some step can still enter; kept on a stack of the walker's
    // own, so that the depth of a document never becomes the depth of the call stack.
    struct Frame;
    Frame& pushFrame();
    bool run(const Match& start, std::uint64_t mask);
    // Settles the steps that stay on `node`, reports it and its attributes, and pushes a frame
    // for its children when a step can go there; false when the visitor stopped the walk.
    bool enter(const Match& node, std::uint64_t mask);
    // enter() for a node that is reported or whose attributes a step takes.
    bool enterReporting(const Match& node);
    // Makes iEntered what `mask` comes to on `node`.
    void useSettled(const Match& node, std::uint64_t mask);
    void openFrame(const Match& node, std::uint64_t childSteps, std::uint64_t inherited, bool otherNodes);
    // What `mask` comes to on `node` and what it hands its children, kept in iEntered.
    void settle(const Match& node, std::uint64_t mask);
    std::uint64_t childMask(Frame& f, const Match& child);
    // Whether `child`, which passes the node test of step s, passes the step's predicates too
    // (counting its position among the frame's candidates).
    bool passesPredicates(Frame& f, const Match& child, std::size_t s);
    // Whether entering a node with `mask` would report nothing, as the last mask settled says.
    bool settledWithout(std::uint64_t mask) const;
    // Whether a step may still match a later child of the frame's parent.
    bool moreChildren(const Frame& f) const;
    bool visitAttributes(KelSyntaxElement* element, std::uint64_t mask);
    static std::size_t countAttributes(const std::vector<Match>& attributes, const XmlPathStep& step,
                                       std::size_t predicates, std::vector<long>& lastCache,
                                       EvaluationCache* cache);
    std::size_t countCandidates(const Match& parent, const XmlPathStep& step, std::size_t predicates,
                                long* lastCache);

    // With `namespaces` (the evaluation's), a name's namespace is found without reading every
    // ancestor's declarations again.
    static bool testNode(const XmlPathStep& step, const Match& node, XmlNamespaceCache* namespaces);
    // testNode for step s of this walk's path; a plain name test first compares the name's hash.
    bool testStep(std::size_t s, const Match& node) const;
    static bool predicate(const XmlPathExpr& expr, const Match& node, const Position& position);
    static Value evaluate(const XmlPathExpr& expr, const Match& node, const Position& position);
    static Value call(const XmlPathExpr& expr, const Match& node, const Position& position);
    static Value filter(const XmlPathExpr& expr, const Match& node, const Position& position);
    static bool forEachNode(const Value& value, const Visitor& visit);
    static std::vector<Match> gather(const Value& value);
    static Match firstNode(const Value& value);
    static bool boolean(const Value& value);
    static double number(const Value& value);
    static KelStringBase string(const Value& value);
    static bool compare(const Value& left, const Value& right, XmlPathExpr::Kind op);

    const XmlPathLocation& iPath;
    const Visitor& iVisit;
    bool iDeletePassed = false;
    std::size_t iLookedAt = 0;   // added to the thread's count when the walk ends
    EvaluationCache* iCache = nullptr;
    std::vector<std::size_t> iFirstCounter;   // step s's predicate counters in a frame start here
    std::vector<std::uint32_t> iNameHashes;   // step s's name hashed as element names are
    std::uint64_t iAttributeSteps = 0;   // bit s - 1: step s takes attributes
    std::uint64_t iReportsOrAttributes = 0;   // bit n (the path's end) and the attribute steps
    std::uint64_t iLastSteps = 0;        // bit s - 1: step s's first predicate holds for its last candidate alone
    bool iSelfTests = false;             // a Self step has predicates
    struct Entered {                     // the last mask enter() settled, and what it came to
        std::uint64_t in = ~std::uint64_t(0), out = 0, childSteps = 0, inherited = 0;
        bool otherNodes = true;          // a child other than an element can matter (see settle)
    } iEntered, iEnteredBefore;          // the mask settled last, and the one before it
    std::vector<Frame> iFrames;   // iFrames[0, iDepth) is the walk in progress; the rest kept for reuse
    std::size_t iDepth = 0;
    // With iDeletePassed: what has been passed goes once the pool holds kSweepEvery more
    // elements than after the last deletion, so a walk holds about one record beyond what it needs.
    static constexpr std::size_t kSweepEvery = 64;
    // Scanner steps built ahead of a walk through a whole record: a few records' worth, so the
    // memory a streaming walk holds stays flat.
    static constexpr std::size_t kStepsAhead = 256;
    KelSyntaxElementPool* iPool = nullptr;
    std::size_t iSweepAt = 0;
    KelSyntaxElement* iClimbedTo = nullptr;   // the start a '..' climbed to
};

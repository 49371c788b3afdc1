#include "query/XmlPathWalker.hpp"

#include "host/KelParser.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelSyntaxElementPool.hpp"
#include "common/XmlElementType.hpp"
#include "query/XmlDocumentOrder.hpp"
#include "query/XmlNamespaceCache.hpp"
#include "query/XmlNamespaceScope.hpp"
#include "query/XmlPathFunctions.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {
using Match = XmlPathQuery::Match;

enum class NodeClass { None, Element, Text, Comment, ProcessingInstruction, Transparent, Attribute };

NodeClass classifyOther(const KelSyntaxElement* e) {
    switch (e->typeCode()) {
    case XmlTypeElement:
        return NodeClass::Element;
    case XmlTypeContent:
    case XmlTypeCData:
    case XmlTypeWhiteSpace:
    case XmlTypeRawContent:
        return NodeClass::Text;
    case XmlTypeComment:
        return NodeClass::Comment;
    case XmlTypeProcessingInstruction:
        return NodeClass::ProcessingInstruction;
    // An entity reference's start and end mark where its replacement text lies; the text and
    // elements between them belong to the enclosing element.
    case XmlTypeEntityReferenceStart:
    case XmlTypeEntityReferenceEnd:
        return NodeClass::Transparent;
    case XmlTypeAttribute:
        return NodeClass::Attribute;
    default:
        return NodeClass::None;
    }
}

// Elements and attributes are most of what a walk meets: told apart without the switch.
inline NodeClass classify(const KelSyntaxElement* e) {
    const int type = e->typeCode();
    if (type == XmlTypeElement) return NodeClass::Element;
    if (type == XmlTypeAttribute) return NodeClass::Attribute;
    return classifyOther(e);
}

// Adjacent text, CDATA and white space (across entity reference marks) make one text node,
// which the first of them stands for.
bool continuesText(const KelSyntaxElement* e) {
    const KelSyntaxElement* p = e->knownPreviousSibling();
    while (p && classify(p) == NodeClass::Transparent) p = p->knownPreviousSibling();
    return p && classify(p) == NodeClass::Text;
}

// firstChild() and nextSibling(), without the call when the link is known already (they
// return it then as it stands).
inline KelSyntaxElement* firstChildOf(KelSyntaxElement* e) {
    return e->isCompleteLeft() ? e->knownFirstChild() : e->firstChild();
}
inline KelSyntaxElement* nextSiblingOf(KelSyntaxElement* e) {
    return e->hasKnownNextSibling() ? e->knownNextSibling() : e->nextSibling();
}

// The first child node of `parent` from `c` on (`c` included), scanning on demand. Text
// outside the document element (white space between prolog items) is no node.
KelSyntaxElement* childNodeFrom(KelSyntaxElement* parent, KelSyntaxElement* c, Match::Kind& kind) {
    for (; c; c = nextSiblingOf(c)) {
        switch (classify(c)) {
        case NodeClass::Element:
            kind = Match::Element;
            return c;
        case NodeClass::Text:
            if (parent->typeCode() != XmlTypeElement || continuesText(c)) break;
            kind = Match::Text;
            return c;
        case NodeClass::Comment:
            kind = Match::Comment;
            return c;
        case NodeClass::ProcessingInstruction:
            kind = Match::ProcessingInstruction;
            return c;
        default:
            break;
        }
    }
    return nullptr;
}

// The next child node of `parent` after `from` (or the first when null); an element, the
// child met most, is answered in place.
__attribute__((always_inline)) inline KelSyntaxElement* nextChildNode(KelSyntaxElement* parent, KelSyntaxElement* from,
                                                                      Match::Kind& kind) {
    KelSyntaxElement* c = from ? nextSiblingOf(from) : firstChildOf(parent);
    if (c && c->typeCode() == XmlTypeElement) {
        kind = Match::Element;
        return c;
    }
    return c ? childNodeFrom(parent, c, kind) : nullptr;
}

thread_local std::size_t tChildrenLookedAt = 0;
thread_local std::size_t tStepsUp = 0;

// False when `node` cannot pass the plain name test of `step` (whose name hashes to `hash`):
// equal names hash alike, so most elements a '//' walk passes are told apart without comparing
// their text. True when it may (another test, a name in a namespace, an unresolved element).
inline bool sameNameHash(const XmlPathStep& step, std::uint32_t hash, const Match& node) {
    return step.test != XmlPathStep::Name || step.inNamespace || node.element->isUnresolved() ||
           node.element->storedNameHash() == hash;
}

void appendValue(KelStringBase& out, KelSyntaxElement* e) {
    const KelValue& v = e->value();
    if (!v.isNull()) out += v.valueAsCharacter();
}

} // namespace

// What one evaluation keeps of the tree it reads. The attributes of the elements that walks
// climbing with '..' started from, kept for the rest of the evaluation: a predicate such as [../@id] asks for the same parent's attributes for each
// node it tests, and listing them looks at every child of the parent known so far. A few entries
// are enough, as the nodes tested one after the other share their parent (or an ancestor open
// around them). Emptied whenever the walk deletes elements, whose places may be taken again.
// And the namespaces in scope along the walk, so that a namespace test or namespace-uri() does
// not read every ancestor's declarations again for each node.
struct XmlPathWalker::EvaluationCache {
    struct Entry {
        KelSyntaxElement* element = nullptr;
        std::vector<Match> attributes;
    };
    Entry entries[16];
    std::size_t next = 0;
    XmlNamespaceCache namespaces;

    const std::vector<Match>* find(const KelSyntaxElement* element) const {
        for (const Entry& e : entries)
            if (e.element == element) return &e.attributes;
        return nullptr;
    }
    std::vector<Match>& add(KelSyntaxElement* element) {
        Entry& e = entries[next];
        next = (next + 1) % (sizeof entries / sizeof entries[0]);
        e.element = element;
        e.attributes.clear();
        return e.attributes;
    }
    void clear() {
        for (Entry& e : entries) e.element = nullptr;
    }
};

struct XmlPathWalker::Value {
    enum Type { Boolean, Number, String, Nodes } type = Boolean;
    bool boolean = false;
    double number = 0;
    KelStringBase string;
    const XmlPathLocation* path = nullptr;   // a node set still to walk: this path from `context`
    Match context;
    bool deletePassed = false;               // the walk deletes what it has passed
    EvaluationCache* cache = nullptr;
    std::shared_ptr<const std::vector<Match>> nodes;   // a node set gathered in document order
};

Match XmlPathWalker::contextOf(KelSyntaxElement* element) {
    Match m;
    m.element = element;
    if (!element) return m;
    switch (classify(element)) {
    case NodeClass::Element:
        m.kind = Match::Element;
        break;
    case NodeClass::Text:
        m.kind = Match::Text;
        break;
    case NodeClass::Comment:
        m.kind = Match::Comment;
        break;
    case NodeClass::ProcessingInstruction:
        m.kind = Match::ProcessingInstruction;
        break;
    case NodeClass::Attribute:
        m.kind = Match::Attribute;
        break;
    default:
        m.kind = Match::Document;
        break;
    }
    return m;
}

bool XmlPathWalker::walk(const XmlPathLocation& path, const Match& context, const Visitor& visit, bool deletePassed) {
    return walk(path, context, visit, deletePassed, nullptr);
}

bool XmlPathWalker::walk(const XmlPathLocation& path, const Match& context, const Visitor& visit, bool deletePassed,
                         EvaluationCache* lists) {
    if (path.neverMatches || !context.element) return true;
    EvaluationCache own;
    if (!lists) lists = &own;
    Match start = context;
    if (path.absolute) {
        // Through the elements above the context by the evaluation's chain of them, which the
        // next node tested shares: a path from the top in a predicate does not climb through
        // every ancestor of each node it is asked of.
        KelSyntaxElement* e = context.element;
        if (e->typeCode() != XmlTypeElement && e->parent() && e->parent()->typeCode() == XmlTypeElement) {
            ++tStepsUp;
            e = e->parent();
        }
        if (e->typeCode() == XmlTypeElement) e = lists->namespaces.topOf(e);
        for (; e->typeCode() != XmlTypeRoot && e->parent(); e = e->parent()) ++tStepsUp;
        start.element = e;
        start.kind = Match::Document;
    }
    // The document node stands for a document: its first item is read (as any step below it
    // would), so a message that holds none (empty, garbage) raises its parse error here instead
    // of being selected or counted.
    if (start.kind == Match::Document) start.element->firstChild();
    if (!path.contextPredicates.empty()) {
        const std::function<std::size_t()> one = [] { return std::size_t(1); };
        for (const auto& p : path.contextPredicates)
            if (!predicate(*p, start, Position{1, &one, nullptr, lists})) return true;
    }
    for (int i = 0; i < path.leadingParents; ++i) {
        if (start.kind == Match::Document) return true;
        KelSyntaxElement* up = start.element->parent();
        if (!up) return true;
        start = contextOf(up);
    }
    XmlPathWalker walker(path, visit);
    walker.iDeletePassed = deletePassed;
    walker.iCache = lists;
    if (path.leadingParents > 0) walker.iClimbedTo = start.element;
    const bool finished = walker.run(start, 1u);
    tChildrenLookedAt += walker.iLookedAt;
    return finished;
}

std::size_t XmlPathWalker::childrenLookedAt() noexcept { return tChildrenLookedAt; }
std::size_t XmlPathWalker::stepsUp() noexcept { return tStepsUp; }

struct XmlPathWalker::Frame {
    Match parent;
    std::uint64_t childSteps = 0;                      // bit s: step s takes children of `parent`
    std::uint64_t inherited = 0;                       // '//' steps every descendant is in
    std::vector<std::size_t> counts;                   // per step and predicate (iFirstCounter): positions
    std::vector<long> lastCaches;                      // per step and predicate: last()
    KelSyntaxElement* child = nullptr;                 // the child reached so far
    KelSyntaxElement* passed = nullptr;                // the first child passed and not yet deleted
    bool elementSeen = false;
    bool otherNodes = true;                            // whether a child other than an element can matter
};

XmlPathWalker::XmlPathWalker(const XmlPathLocation& path, const Visitor& visit) : iPath(path), iVisit(visit) {
    // Step s (1-based) counts its predicates' positions from iFirstCounter[s]; the last entry is
    // the number of counters a frame holds.
    iFirstCounter.assign(path.steps.size() + 2, 0);
    iNameHashes.assign(path.steps.size() + 1, 0);
    iReportsOrAttributes = std::uint64_t(1) << path.steps.size();
    for (std::size_t s = 1; s <= path.steps.size(); ++s) {
        iNameHashes[s] = KelSyntaxElement::nameHash(path.steps[s - 1].name);
        iFirstCounter[s + 1] = iFirstCounter[s] + path.steps[s - 1].predicates.size();
        if (path.steps[s - 1].axis == XmlPathStep::Attribute) iAttributeSteps |= std::uint64_t(1) << (s - 1);
        iReportsOrAttributes |= iAttributeSteps;
        if (path.steps[s - 1].axis == XmlPathStep::Self && !path.steps[s - 1].predicates.empty()) iSelfTests = true;
        if (path.steps[s - 1].axis == XmlPathStep::Child && !path.steps[s - 1].predicates.empty() &&
            lastOfSiblings(*path.steps[s - 1].predicates[0]))
            iLastSteps |= std::uint64_t(1) << (s - 1);
    }
}
XmlPathWalker::~XmlPathWalker() = default;

inline XmlPathWalker::Frame& XmlPathWalker::pushFrame() {
    // Frames are taken again with the room their lists had, so a walk allocates per depth
    // reached, not per node.
    if (iDepth == iFrames.size()) iFrames.emplace_back();
    Frame& f = iFrames[iDepth++];
    f.childSteps = 0;
    f.inherited = 0;
    f.child = nullptr;
    f.passed = nullptr;
    f.elementSeen = false;
    return f;
}

bool XmlPathWalker::run(const Match& start, std::uint64_t mask) {
    if (iDeletePassed && start.element->parser()) {
        iPool = &start.element->parser()->elementPool();
        iSweepAt = iPool->liveCount() + kSweepEvery;
    }
    if (!enter(start, mask)) return false;
    while (iDepth > 0) {
        Frame& f = iFrames[iDepth - 1];
        Match child;
        child.element = nextChildNode(f.parent.element, f.child, child.kind);
        if (!child.element) {
            --iDepth;
            continue;
        }
        ++iLookedAt;
        // Once the next child is known, the ones before it are complete and behind the walk.
        // They go in bulk, every so many elements built, with their subtrees: one deletion a
        // record rather than one per element of it.
        KelSyntaxElement* const previous = f.child;
        f.child = child.element;
        if (iDeletePassed && previous && f.parent.kind == Match::Element) {
            if (!f.passed) f.passed = previous;
            if (!iPool || iPool->liveCount() >= iSweepAt) deletePassed();
        }
        // Text, comments and instructions that no step can take, under a frame whose '//' steps
        // report none of them, are passed without testing each (they count no position).
        if (child.kind != Match::Element && !f.otherNodes) {
            if (!f.inherited && !moreChildren(f)) --iDepth;
            continue;
        }
        const std::uint64_t cmask = childMask(f, child);
        if (child.kind == Match::Element) f.elementSeen = true;
        if (!f.inherited && !moreChildren(f)) --iDepth;   // `f` is gone from here on
        if (cmask && (child.kind == Match::Element || !settledWithout(cmask)) && !enter(child, cmask)) return false;
    }
    return true;
}

// The steps `child` of the frame's parent passes (its predicates included): the mask it is
// entered with.
inline std::uint64_t XmlPathWalker::childMask(Frame& f, const Match& child) {
    std::uint64_t cmask = f.inherited;
    for (std::uint64_t steps = f.childSteps; steps; steps &= steps - 1) {
        const std::size_t s = static_cast<std::size_t>(__builtin_ctzll(steps));
        const XmlPathStep& step = iPath.steps[s - 1];
        if (!sameNameHash(step, iNameHashes[s], child) || !testStep(s, child)) continue;
        if (step.predicates.empty() || passesPredicates(f, child, s)) cmask |= std::uint64_t(1) << s;
    }
    return cmask;
}

bool XmlPathWalker::passesPredicates(Frame& f, const Match& child, std::size_t s) {
    const XmlPathStep& step = iPath.steps[s - 1];
    bool pass = true;
    for (std::size_t j = 0; j < step.predicates.size() && pass; ++j) {
        // The last candidate is the one with none after it: found by looking one
        // candidate ahead, so the siblings behind need not be kept to count them again.
        if (j == 0 && (iLastSteps & (std::uint64_t(1) << (s - 1)))) {
            ++f.counts[iFirstCounter[s]];
            // The document node has one element child: an element test there finds it the
            // last without reading on, through the whole of it, for another.
            const bool onlyElement = f.parent.kind == Match::Document &&
                                     (step.test == XmlPathStep::Name || step.test == XmlPathStep::AnyElement);
            pass = onlyElement || !laterCandidate(f.parent, child, step, iCache ? &iCache->namespaces : nullptr);
            continue;
        }
        const Match parent = f.parent;
        long* const lastCache = &f.lastCaches[iFirstCounter[s]];
        const std::function<std::size_t()> last = [this, parent, &step, j, lastCache]() {
            return countCandidates(parent, step, j, lastCache);
        };
        pass = predicate(*step.predicates[j], child,
                         Position{++f.counts[iFirstCounter[s] + j], &last, nullptr, iCache});
    }
    return pass;
}

inline bool XmlPathWalker::settledWithout(std::uint64_t mask) const {
    // A node other than an element has no children and no attributes: entering it only reports
    // it, when the last step holds there. The mask entered last is settled already.
    return mask == iEntered.in && !iSelfTests && !(iEntered.out & (std::uint64_t(1) << iPath.steps.size()));
}

bool XmlPathWalker::moreChildren(const Frame& f) const {
    // Stop reading this parent's children once no step can match any of the rest: a
    // positional first predicate already reached, or, under the document node, the one
    // document element already behind.
    bool more = f.inherited != 0;
    for (std::uint64_t steps = f.childSteps; steps && !more; steps &= steps - 1) {
        const std::size_t s = static_cast<std::size_t>(__builtin_ctzll(steps));
        const XmlPathStep& step = iPath.steps[s - 1];
        const bool elementTest = step.test == XmlPathStep::Name || step.test == XmlPathStep::AnyElement;
        if (f.parent.kind == Match::Document && elementTest && f.elementSeen) continue;
        if (!step.predicates.empty() && step.predicates[0]->kind == XmlPathExpr::Number &&
            static_cast<double>(f.counts[iFirstCounter[s]]) >= step.predicates[0]->number)
            continue;
        more = true;
    }
    return more;
}

void XmlPathWalker::deletePassed() {
    if (iCache) iCache->clear();
    // What a frame has passed lies before its current child, which holds the frames below it.
    // The frames nearest the top go first, whole records at a time; deeper ones only while that
    // has not freed half the allowance (one record larger than it), as each deletion costs.
    for (std::size_t d = 0; d < iDepth; ++d) {
        Frame& f = iFrames[d];
        if (!f.passed) continue;
        for (KelSyntaxElement* e = f.passed; e && e != f.child;) {
            KelSyntaxElement* next = e->knownNextSibling();
            if (iCache) iCache->namespaces.forget(e);
            e->detach();
            e->deleteElement();
            e = next;
        }
        f.passed = nullptr;
        if (iPool && iPool->liveCount() + kSweepEvery / 2 <= iSweepAt) break;
    }
    if (iPool) iSweepAt = iPool->liveCount() + kSweepEvery;
}

const XmlPathLocation* XmlPathWalker::streamablePath(const XmlPathExpr& expr) {
    // The paths evaluated from the context, outside any step's predicates.
    std::vector<const XmlPathExpr*> paths;
    std::vector<const XmlPathExpr*> pending{&expr};
    while (!pending.empty()) {
        const XmlPathExpr* e = pending.back();
        pending.pop_back();
        if (e->kind == XmlPathExpr::Union || e->kind == XmlPathExpr::Filter) return nullptr;
        if (e->kind == XmlPathExpr::Path) paths.push_back(e);
        // The context's own last() and position() are 1; nothing behind is needed for them.
        if (e->left) pending.push_back(e->left.get());
        if (e->right) pending.push_back(e->right.get());
        for (const auto& a : e->arguments) pending.push_back(a.get());
    }
    if (paths.size() != 1) return nullptr;
    const XmlPathLocation& path = paths.front()->path;
    if (path.leadingParents > 0 || !path.contextPredicates.empty() || !forwardOnly(path)) return nullptr;
    return &path;
}

bool XmlPathWalker::forwardOnly(const XmlPathLocation& path) {
    for (const XmlPathStep& step : path.steps)
        for (std::size_t i = 0; i < step.predicates.size(); ++i) {
            // A child step's first predicate asking for the last candidate looks ahead only.
            if (i == 0 && step.axis == XmlPathStep::Child && lastOfSiblings(*step.predicates[i])) continue;
            if (!forwardOnly(*step.predicates[i])) return false;
        }
    return true;
}

bool XmlPathWalker::lastOfSiblings(const XmlPathExpr& expr) {
    auto isCall = [](const XmlPathExpr* e, XmlPathExpr::Call call) {
        return e && e->kind == XmlPathExpr::Function && e->call == call && e->arguments.empty();
    };
    if (isCall(&expr, XmlPathExpr::Last)) return true;   // a number: compared with the position
    if (expr.kind != XmlPathExpr::Equal) return false;
    const XmlPathExpr* l = expr.left.get();
    const XmlPathExpr* r = expr.right.get();
    return (isCall(l, XmlPathExpr::Position) && isCall(r, XmlPathExpr::Last)) ||
           (isCall(l, XmlPathExpr::Last) && isCall(r, XmlPathExpr::Position));
}

bool XmlPathWalker::laterCandidate(const Match& parent, const Match& child, const XmlPathStep& step,
                                   XmlNamespaceCache* namespaces) {
    Match next;
    for (next.element = nextChildNode(parent.element, child.element, next.kind); next.element;
         next.element = nextChildNode(parent.element, next.element, next.kind))
        if (testNode(step, next, namespaces)) return true;
    return false;
}

bool XmlPathWalker::forwardOnly(const XmlPathExpr& expr) {
    // A predicate sees the node it tests and what lies below it, which the walk has not yet
    // passed; last() counts the node's earlier siblings again, a path from the top or one that
    // climbs out of the node reads what lies behind, and a gathered set holds nodes past the walk.
    switch (expr.kind) {
    case XmlPathExpr::Union:
    case XmlPathExpr::Filter:
        return false;
    case XmlPathExpr::Function:
        if (expr.call == XmlPathExpr::Last) return false;
        break;
    case XmlPathExpr::Path:
        if (expr.path.absolute || expr.path.leadingParents > 0 || !expr.path.contextPredicates.empty()) return false;
        return forwardOnly(expr.path);
    default:
        break;
    }
    if (expr.left && !forwardOnly(*expr.left)) return false;
    if (expr.right && !forwardOnly(*expr.right)) return false;
    for (const auto& a : expr.arguments)
        if (!forwardOnly(*a)) return false;
    return true;
}

void XmlPathWalker::settle(const Match& node, std::uint64_t mask) {
    const std::size_t n = iPath.steps.size();
    iEntered.in = mask;
    // Steps that stay on the node: the '//' includes the node itself; a Self step tests it.
    for (std::size_t k = 1; k <= n; ++k) {
        if (!(mask & (std::uint64_t(1) << (k - 1)))) continue;
        const XmlPathStep& step = iPath.steps[k - 1];
        if (step.axis == XmlPathStep::DescendantOrSelf) {
            mask |= std::uint64_t(1) << k;
        } else if (step.axis == XmlPathStep::Self) {
            const std::function<std::size_t()> one = [] { return std::size_t(1); };
            bool pass = true;
            for (const auto& p : step.predicates)
                if (!(pass = predicate(*p, node, Position{1, &one, nullptr, iCache}))) break;
            if (pass) mask |= std::uint64_t(1) << k;
        }
    }
    iEntered.out = mask;
    iEntered.childSteps = 0;
    iEntered.inherited = 0;
    for (std::size_t k = 0; k <= n; ++k) {
        if (!(mask & (std::uint64_t(1) << k))) continue;
        if (k < n && iPath.steps[k].axis == XmlPathStep::Child) iEntered.childSteps |= std::uint64_t(1) << (k + 1);
        if (k >= 1 && iPath.steps[k - 1].axis == XmlPathStep::DescendantOrSelf)
            iEntered.inherited |= std::uint64_t(1) << k;
    }
    // Whether a child other than an element can matter: a step that takes children may test
    // for text, comments or instructions, or a node entered with the inherited steps alone
    // reports itself (a Self step with predicates might: taken to).
    iEntered.otherNodes = iSelfTests;
    for (std::uint64_t steps = iEntered.childSteps; steps && !iEntered.otherNodes; steps &= steps - 1) {
        const XmlPathStep::Test test = iPath.steps[static_cast<std::size_t>(__builtin_ctzll(steps)) - 1].test;
        iEntered.otherNodes = test != XmlPathStep::Name && test != XmlPathStep::AnyElement && test != XmlPathStep::AnyAttribute;
    }
    if (!iEntered.otherNodes && iEntered.inherited) {
        std::uint64_t reached = iEntered.inherited;
        for (std::size_t k = 1; k <= n; ++k)
            if ((reached & (std::uint64_t(1) << (k - 1))) && (iPath.steps[k - 1].axis == XmlPathStep::DescendantOrSelf ||
                                                           iPath.steps[k - 1].axis == XmlPathStep::Self))
                reached |= std::uint64_t(1) << k;
        iEntered.otherNodes = (reached & (std::uint64_t(1) << n)) != 0;
    }
}

void XmlPathWalker::useSettled(const Match& node, std::uint64_t mask) {
    // What a mask comes to depends on the mask alone unless a Self step tests the node, so the
    // last ones are kept: the nodes of a walk come with few masks.
    if (iSelfTests) {
        settle(node, mask);
    } else if (mask != iEntered.in) {
        // Two masks are kept: a walk for a name alternates between the one its matches and
        // their children come with and the one of everything else.
        if (mask == iEnteredBefore.in) {
            std::swap(iEntered, iEnteredBefore);
        } else {
            iEnteredBefore = iEntered;
            settle(node, mask);
        }
    }
}

void XmlPathWalker::readAhead(KelSyntaxElement* element) {
    const KelSyntaxElement* parent = element->parent();
    if (!parent || !parent->parent()) return;
    if (KelParser* parser = element->parser()) parser->parseAhead(element, kStepsAhead);
}

inline void XmlPathWalker::openFrame(const Match& node, std::uint64_t childSteps, std::uint64_t inherited,
                                     bool otherNodes) {
    // A frame with '//' steps walks every node below it: its subtree is built ahead, a bounded
    // stretch at a time, in the scanner's own loop rather than one call per node walked. Not
    // the document element's: that is the whole message, where a first match near its start
    // reads only the start.
    if (inherited && node.kind == Match::Element && !node.element->isCompleteRight()) readAhead(node.element);
    Frame& f = pushFrame();
    f.parent = node;
    f.childSteps = childSteps;
    f.inherited = inherited;
    f.otherNodes = otherNodes;
    if (iFirstCounter.back() > 0) {
        f.counts.assign(iFirstCounter.back(), 0);
        f.lastCaches.assign(iFirstCounter.back(), -1);
    }
}

inline bool XmlPathWalker::enter(const Match& node, std::uint64_t mask) {
    if (iSelfTests || mask != iEntered.in) useSettled(node, mask);
    // Most nodes a walk enters are neither reported nor asked for their attributes.
    if (iEntered.out & iReportsOrAttributes) return enterReporting(node);
    if (node.kind != Match::Element && node.kind != Match::Document) return true;
    if (!iEntered.childSteps && !iEntered.inherited) return true;
    openFrame(node, iEntered.childSteps, iEntered.inherited, iEntered.otherNodes);
    return true;
}

bool XmlPathWalker::enterReporting(const Match& node) {
    const std::size_t n = iPath.steps.size();
    // Taken before the visitor and the attributes, whose walk settles masks of its own.
    const std::uint64_t mask = iEntered.out;
    const std::uint64_t childSteps = iEntered.childSteps;
    const std::uint64_t inherited = iEntered.inherited;
    const bool otherNodes = iEntered.otherNodes;
    if ((mask & (std::uint64_t(1) << n)) && !iVisit(node)) return false;
    if (node.kind == Match::Element && (mask & iAttributeSteps) && !visitAttributes(node.element, mask)) return false;
    if (node.kind != Match::Element && node.kind != Match::Document) return true;
    if (!childSteps && !inherited) return true;
    openFrame(node, childSteps, inherited, otherNodes);
    return true;
}

bool XmlPathWalker::visitAttributes(KelSyntaxElement* element, std::uint64_t mask) {
    if (!(mask & iAttributeSteps)) return true;
    const std::size_t n = iPath.steps.size();
    std::vector<std::size_t> active;
    for (std::size_t s = 1; s <= n; ++s)
        if ((mask & (std::uint64_t(1) << (s - 1))) && iPath.steps[s - 1].axis == XmlPathStep::Attribute) active.push_back(s);
    if (active.empty()) return true;
    // Attributes come first among a scanned element's children, and all of them at once; an
    // element built or changed by hand may have them anywhere, so the known children are all
    // looked at, but nothing further is scanned for them. A start climbed to is looked at once
    // an evaluation.
    const bool climbed = element == iClimbedTo && iCache;
    const std::vector<Match>* listed = climbed ? iCache->find(element) : nullptr;
    // A copy: the predicates below may list other starts and reuse the entry.
    std::vector<Match> attributes = listed ? *listed : std::vector<Match>();
    if (!listed) {
        for (KelSyntaxElement* c = element->firstChild(); c; c = c->knownNextSibling()) {
            ++iLookedAt;
            if (classify(c) != NodeClass::Attribute || XmlNamespaceScope::isDeclaration(c)) continue;
            Match m;
            m.element = c;
            m.kind = Match::Attribute;
            attributes.push_back(m);
        }
        if (climbed) iCache->add(element) = attributes;
    }
    std::vector<std::vector<std::size_t>> counts(n + 1);
    std::vector<std::vector<long>> lastCaches(n + 1);
    for (std::size_t s : active) {
        counts[s].assign(iPath.steps[s - 1].predicates.size(), 0);
        lastCaches[s].assign(iPath.steps[s - 1].predicates.size(), -1);
    }
    for (const Match& m : attributes) {
        std::uint64_t amask = 0;
        for (std::size_t s : active) {
            const XmlPathStep& step = iPath.steps[s - 1];
            if (!testNode(step, m, iCache ? &iCache->namespaces : nullptr)) continue;
            bool pass = true;
            for (std::size_t j = 0; j < step.predicates.size() && pass; ++j) {
                const std::function<std::size_t()> last = [&, s, j]() {
                    return countAttributes(attributes, step, j, lastCaches[s], iCache);
                };
                pass = predicate(*step.predicates[j], m, Position{++counts[s][j], &last, nullptr, iCache});
            }
            if (pass) amask |= std::uint64_t(1) << s;
        }
        if (amask && !enter(m, amask)) return false;
    }
    return true;
}

std::size_t XmlPathWalker::countAttributes(const std::vector<Match>& attributes, const XmlPathStep& step,
                                           std::size_t predicates, std::vector<long>& lastCache,
                                           EvaluationCache* cache) {
    if (lastCache[predicates] >= 0) return static_cast<std::size_t>(lastCache[predicates]);
    std::vector<std::size_t> counts(predicates, 0);
    std::size_t total = 0;
    for (const Match& m : attributes) {
        if (!testNode(step, m, cache ? &cache->namespaces : nullptr)) continue;
        bool pass = true;
        for (std::size_t i = 0; i < predicates && pass; ++i) {
            const std::function<std::size_t()> last = [&, i]() {
                return countAttributes(attributes, step, i, lastCache, cache);
            };
            pass = predicate(*step.predicates[i], m, Position{++counts[i], &last, nullptr, cache});
        }
        if (pass) ++total;
    }
    lastCache[predicates] = static_cast<long>(total);
    return total;
}

std::size_t XmlPathWalker::countCandidates(const Match& parent, const XmlPathStep& step, std::size_t predicates,
                                           long* lastCache) {
    if (lastCache[predicates] >= 0) return static_cast<std::size_t>(lastCache[predicates]);
    std::vector<std::size_t> counts(predicates, 0);
    std::size_t total = 0;
    Match child;
    for (child.element = nextChildNode(parent.element, nullptr, child.kind); child.element;
         child.element = nextChildNode(parent.element, child.element, child.kind)) {
        if (!testNode(step, child, iCache ? &iCache->namespaces : nullptr)) continue;
        bool pass = true;
        for (std::size_t i = 0; i < predicates && pass; ++i) {
            const std::function<std::size_t()> last = [&, i]() { return countCandidates(parent, step, i, lastCache); };
            pass = predicate(*step.predicates[i], child, Position{++counts[i], &last, nullptr, iCache});
        }
        if (pass) ++total;
    }
    lastCache[predicates] = static_cast<long>(total);
    return total;
}

namespace {
// Whether the node's name is in the step's namespace, by the declarations in scope at it: the
// default namespace counts for elements only, as an unprefixed attribute is in none.
KelStringBase namespaceOf(const Match& node, XmlNamespaceCache* namespaces) {
    if (node.kind == Match::Attribute)
        return namespaces ? namespaces->uriOfAttribute(node.element) : XmlNamespaceScope::uriOfAttribute(node.element);
    return namespaces ? namespaces->uriOfElement(node.element) : XmlNamespaceScope::uriOfElement(node.element);
}

bool inNamespace(const XmlPathStep& step, const Match& node, XmlNamespaceCache* namespaces) {
    return namespaceOf(node, namespaces) == step.uri;
}
} // namespace

bool XmlPathWalker::testNode(const XmlPathStep& step, const Match& node, XmlNamespaceCache* namespaces) {
    switch (step.test) {
    case XmlPathStep::Name:
        if (node.kind != (step.axis == XmlPathStep::Attribute ? Match::Attribute : Match::Element)) return false;
        if (!step.inNamespace) return node.element->name() == step.name;
        return XmlNamespaceScope::localPartOf(node.element->name()) == step.name && inNamespace(step, node, namespaces);
    case XmlPathStep::AnyElement:
        return node.kind == Match::Element && (!step.inNamespace || inNamespace(step, node, namespaces));
    case XmlPathStep::AnyAttribute:
        return node.kind == Match::Attribute && (!step.inNamespace || inNamespace(step, node, namespaces));
    case XmlPathStep::Text:
        return node.kind == Match::Text;
    case XmlPathStep::Comment:
        return node.kind == Match::Comment;
    case XmlPathStep::ProcessingInstruction:
        return node.kind == Match::ProcessingInstruction && (!step.piTarget || node.element->name() == step.name);
    case XmlPathStep::AnyNode:
        return true;
    }
    return false;
}

bool XmlPathWalker::testStep(std::size_t s, const Match& node) const {
    // Equal names hash alike, so a name whose hash differs is another name: most elements a
    // '//' walk passes are told apart without comparing their text. An unresolved element's
    // name is known only once it is resolved.
    const XmlPathStep& step = iPath.steps[s - 1];
    if (step.test == XmlPathStep::Name && !step.inNamespace && node.element != nullptr &&
        !node.element->isUnresolved() && node.element->storedNameHash() != iNameHashes[s])
        return false;
    return testNode(step, node, iCache ? &iCache->namespaces : nullptr);
}

bool XmlPathWalker::predicate(const XmlPathExpr& expr, const Match& node, const Position& position) {
    Value v = evaluate(expr, node, position);
    if (v.type == Value::Number) return v.number == static_cast<double>(position.position);
    return boolean(v);
}

namespace {
const std::function<std::size_t()> kOne = [] { return std::size_t(1); };
} // namespace

XmlPathWalker::Position XmlPathWalker::topPosition(const XmlPathExpr& expr, bool deletePassed, EvaluationCache& cache) {
    return Position{1, &kOne, deletePassed ? streamablePath(expr) : nullptr, &cache};
}

double XmlPathWalker::number(const XmlPathExpr& expr, const Match& context, bool deletePassed) {
    EvaluationCache cache;
    return number(evaluate(expr, context, topPosition(expr, deletePassed, cache)));
}

KelStringBase XmlPathWalker::string(const XmlPathExpr& expr, const Match& context, bool deletePassed) {
    EvaluationCache cache;
    return string(evaluate(expr, context, topPosition(expr, deletePassed, cache)));
}

bool XmlPathWalker::boolean(const XmlPathExpr& expr, const Match& context, bool deletePassed) {
    EvaluationCache cache;
    return boolean(evaluate(expr, context, topPosition(expr, deletePassed, cache)));
}

bool XmlPathWalker::nodes(const XmlPathExpr& expr, const Match& context, const Visitor& visit, bool deletePassed) {
    EvaluationCache cache;
    return forEachNode(evaluate(expr, context, topPosition(expr, deletePassed, cache)), visit);
}

bool XmlPathWalker::forEachNode(const Value& value, const Visitor& visit) {
    if (value.type != Value::Nodes) return true;
    if (!value.nodes) return walk(*value.path, value.context, visit, value.deletePassed, value.cache);
    for (const Match& m : *value.nodes)
        if (!visit(m)) return false;
    return true;
}

std::vector<XmlPathWalker::Match> XmlPathWalker::gather(const Value& value) {
    if (value.nodes) return *value.nodes;
    std::vector<Match> all;
    forEachNode(value, [&](const Match& m) { all.push_back(m); return true; });
    return all;
}

XmlPathWalker::Match XmlPathWalker::firstNode(const Value& value) {
    Match first;
    forEachNode(value, [&](const Match& m) { first = m; return false; });
    return first;
}

XmlPathWalker::Value XmlPathWalker::evaluate(const XmlPathExpr& expr, const Match& node, const Position& position) {
    Value v;
    switch (expr.kind) {
    case XmlPathExpr::Or:
        v.boolean = boolean(evaluate(*expr.left, node, position)) || boolean(evaluate(*expr.right, node, position));
        return v;
    case XmlPathExpr::And:
        v.boolean = boolean(evaluate(*expr.left, node, position)) && boolean(evaluate(*expr.right, node, position));
        return v;
    case XmlPathExpr::Equal:
    case XmlPathExpr::NotEqual:
    case XmlPathExpr::Less:
    case XmlPathExpr::LessOrEqual:
    case XmlPathExpr::Greater:
    case XmlPathExpr::GreaterOrEqual:
        v.boolean = compare(evaluate(*expr.left, node, position), evaluate(*expr.right, node, position), expr.kind);
        return v;
    case XmlPathExpr::Add:
    case XmlPathExpr::Subtract:
    case XmlPathExpr::Multiply:
    case XmlPathExpr::Divide:
    case XmlPathExpr::Modulo: {
        const double a = number(evaluate(*expr.left, node, position));
        const double b = number(evaluate(*expr.right, node, position));
        v.type = Value::Number;
        switch (expr.kind) {
        case XmlPathExpr::Add: v.number = a + b; break;
        case XmlPathExpr::Subtract: v.number = a - b; break;
        case XmlPathExpr::Multiply: v.number = a * b; break;
        case XmlPathExpr::Divide: v.number = a / b; break;   // IEEE: x div 0 is infinite or NaN
        default: v.number = std::fmod(a, b); break;          // the sign of the dividend, as Java's %
        }
        return v;
    }
    case XmlPathExpr::Negate:
        v.type = Value::Number;
        v.number = -number(evaluate(*expr.left, node, position));
        return v;
    case XmlPathExpr::Literal:
        v.type = Value::String;
        v.string = expr.literal;
        return v;
    case XmlPathExpr::Number:
        v.type = Value::Number;
        v.number = expr.number;
        return v;
    case XmlPathExpr::Path:
        v.type = Value::Nodes;
        v.path = &expr.path;
        v.context = node;
        v.deletePassed = position.streamed == &expr.path;
        v.cache = position.cache;
        return v;
    case XmlPathExpr::Union: {
        std::vector<Match> all = gather(evaluate(*expr.left, node, position));
        std::vector<Match> right = gather(evaluate(*expr.right, node, position));
        all.insert(all.end(), right.begin(), right.end());
        XmlDocumentOrder::sortUnique(all);
        v.type = Value::Nodes;
        v.nodes = std::make_shared<std::vector<Match>>(std::move(all));
        return v;
    }
    case XmlPathExpr::Filter:
        return filter(expr, node, position);
    case XmlPathExpr::Function:
        return call(expr, node, position);
    }
    return v;
}

XmlPathWalker::Value XmlPathWalker::filter(const XmlPathExpr& expr, const Match& node, const Position& position) {
    const Value base = evaluate(*expr.left, node, position);
    // A first predicate that is a number needs no more of the set than that many nodes.
    std::size_t limit = std::numeric_limits<std::size_t>::max();
    if (!expr.predicates.empty() && expr.predicates[0]->kind == XmlPathExpr::Number) {
        const double n = expr.predicates[0]->number;
        limit = n >= 1 && n == std::floor(n) && n < 1e15 ? static_cast<std::size_t>(n) : 0;
    }
    std::vector<Match> nodes;
    if (limit > 0) forEachNode(base, [&](const Match& m) { nodes.push_back(m); return nodes.size() < limit; });
    for (const auto& p : expr.predicates) {
        const std::size_t size = nodes.size();
        const std::function<std::size_t()> last = [size] { return size; };
        std::vector<Match> kept;
        for (std::size_t i = 0; i < nodes.size(); ++i)
            if (predicate(*p, nodes[i], Position{i + 1, &last, nullptr, position.cache})) kept.push_back(nodes[i]);
        nodes = std::move(kept);
    }
    if (!expr.path.steps.empty() || expr.path.leadingParents > 0 || !expr.path.contextPredicates.empty()) {
        std::vector<Match> reached;
        for (const Match& from : nodes) walk(expr.path, from, [&](const Match& m) { reached.push_back(m); return true; });
        if (nodes.size() > 1) XmlDocumentOrder::sortUnique(reached);
        nodes = std::move(reached);
    }
    Value v;
    v.type = Value::Nodes;
    v.nodes = std::make_shared<std::vector<Match>>(std::move(nodes));
    return v;
}

namespace {
KelStringBase nameOf(const Match& m) {
    if (!m.element) return KelStringBase();
    switch (m.kind) {
    case Match::Element:
    case Match::Attribute:
    case Match::ProcessingInstruction:
        return m.element->name();
    default:
        return KelStringBase();
    }
}
} // namespace

XmlPathWalker::Value XmlPathWalker::call(const XmlPathExpr& expr, const Match& node, const Position& position) {
    auto argument = [&](std::size_t i) { return evaluate(*expr.arguments[i], node, position); };
    auto text = [&](std::size_t i) { return string(argument(i)); };
    // The functions that default to the context node.
    auto textOrContext = [&]() { return expr.arguments.empty() ? stringValue(node) : text(0); };
    auto nodeOrContext = [&]() { return expr.arguments.empty() ? node : firstNode(argument(0)); };
    Value v;
    v.type = Value::String;
    switch (expr.call) {
    case XmlPathExpr::Last:
        v.type = Value::Number;
        v.number = position.last ? static_cast<double>((*position.last)()) : 1.0;
        return v;
    case XmlPathExpr::Position:
        v.type = Value::Number;
        v.number = static_cast<double>(position.position);
        return v;
    case XmlPathExpr::Count: {
        std::size_t count = 0;
        forEachNode(argument(0), [&](const Match&) { ++count; return true; });
        v.type = Value::Number;
        v.number = static_cast<double>(count);
        return v;
    }
    case XmlPathExpr::Sum: {
        double sum = 0;
        forEachNode(argument(0), [&](const Match& m) { sum += XmlPathFunctions::toNumber(stringValue(m)); return true; });
        v.type = Value::Number;
        v.number = sum;
        return v;
    }
    case XmlPathExpr::Name:
        v.string = nameOf(nodeOrContext());
        return v;
    case XmlPathExpr::LocalName:
        v.string = XmlNamespaceScope::localPartOf(nameOf(nodeOrContext()));
        return v;
    case XmlPathExpr::NamespaceUri: {
        const Match m = nodeOrContext();
        if (m.element && (m.kind == Match::Element || m.kind == Match::Attribute))
            v.string = namespaceOf(m, position.cache ? &position.cache->namespaces : nullptr);
        return v;
    }
    case XmlPathExpr::String:
        v.string = textOrContext();
        return v;
    case XmlPathExpr::Concat:
        for (std::size_t i = 0; i < expr.arguments.size(); ++i) v.string += text(i);
        return v;
    case XmlPathExpr::StartsWith:
        v.type = Value::Boolean;
        v.boolean = text(0).startsWith(text(1));
        return v;
    case XmlPathExpr::Contains:
        v.type = Value::Boolean;
        v.boolean = text(0).find(text(1)) != KelStringBase::npos;
        return v;
    case XmlPathExpr::SubstringBefore:
        v.string = XmlPathFunctions::before(text(0), text(1));
        return v;
    case XmlPathExpr::SubstringAfter:
        v.string = XmlPathFunctions::after(text(0), text(1));
        return v;
    case XmlPathExpr::Substring: {
        const KelStringBase s = text(0);
        const double start = number(argument(1));
        const bool hasLength = expr.arguments.size() > 2;
        v.string = XmlPathFunctions::substring(s, start, hasLength ? number(argument(2)) : 0, hasLength);
        return v;
    }
    case XmlPathExpr::StringLength:
        v.type = Value::Number;
        v.number = XmlPathFunctions::length(textOrContext());
        return v;
    case XmlPathExpr::NormalizeSpace:
        v.string = XmlPathFunctions::normalizeSpace(textOrContext());
        return v;
    case XmlPathExpr::Translate:
        v.string = XmlPathFunctions::translate(text(0), text(1), text(2));
        return v;
    case XmlPathExpr::Boolean:
        v.type = Value::Boolean;
        v.boolean = boolean(argument(0));
        return v;
    case XmlPathExpr::Not:
        v.type = Value::Boolean;
        v.boolean = !boolean(argument(0));
        return v;
    case XmlPathExpr::True:
    case XmlPathExpr::False:
        v.type = Value::Boolean;
        v.boolean = expr.call == XmlPathExpr::True;
        return v;
    case XmlPathExpr::NumberOf:
        v.type = Value::Number;
        v.number = expr.arguments.empty() ? XmlPathFunctions::toNumber(stringValue(node)) : number(argument(0));
        return v;
    case XmlPathExpr::Floor:
    case XmlPathExpr::Ceiling:
    case XmlPathExpr::Round: {
        const double n = number(argument(0));
        v.type = Value::Number;
        v.number = expr.call == XmlPathExpr::Floor ? std::floor(n)
                   : expr.call == XmlPathExpr::Ceiling ? std::ceil(n)
                                                       : XmlPathFunctions::round(n);
        return v;
    }
    }
    return v;
}

bool XmlPathWalker::boolean(const Value& value) {
    switch (value.type) {
    case Value::Boolean:
        return value.boolean;
    case Value::Number:
        return value.number != 0 && !std::isnan(value.number);
    case Value::String:
        return !value.string.empty();
    case Value::Nodes:
        return !forEachNode(value, [](const Match&) { return false; });
    }
    return false;
}

double XmlPathWalker::number(const Value& value) {
    switch (value.type) {
    case Value::Boolean:
        return value.boolean ? 1 : 0;
    case Value::Number:
        return value.number;
    default:
        return XmlPathFunctions::toNumber(string(value));
    }
}

KelStringBase XmlPathWalker::string(const Value& value) {
    switch (value.type) {
    case Value::Boolean:
        return KelStringBase::fromAscii(value.boolean ? "true" : "false");
    case Value::Number:
        return XmlPathFunctions::numberText(value.number);
    case Value::String:
        return value.string;
    case Value::Nodes: {
        const Match first = firstNode(value);
        return first ? stringValue(first) : KelStringBase();
    }
    }
    return KelStringBase();
}

bool XmlPathWalker::compare(const Value& left, const Value& right, XmlPathExpr::Kind op) {
    auto flipped = [](XmlPathExpr::Kind k) {
        switch (k) {
        case XmlPathExpr::Less: return XmlPathExpr::Greater;
        case XmlPathExpr::LessOrEqual: return XmlPathExpr::GreaterOrEqual;
        case XmlPathExpr::Greater: return XmlPathExpr::Less;
        case XmlPathExpr::GreaterOrEqual: return XmlPathExpr::LessOrEqual;
        default: return k;
        }
    };
    auto numbers = [](double a, double b, XmlPathExpr::Kind k) {
        switch (k) {
        case XmlPathExpr::Equal: return a == b;
        case XmlPathExpr::NotEqual: return a != b;
        case XmlPathExpr::Less: return a < b;
        case XmlPathExpr::LessOrEqual: return a <= b;
        case XmlPathExpr::Greater: return a > b;
        case XmlPathExpr::GreaterOrEqual: return a >= b;
        default: return false;
        }
    };
    const bool equality = op == XmlPathExpr::Equal || op == XmlPathExpr::NotEqual;
    if (right.type == Value::Nodes && left.type != Value::Nodes) return compare(right, left, flipped(op));
    if (left.type == Value::Nodes) {
        if (right.type == Value::Boolean) {
            Value b;
            b.boolean = boolean(left);
            return compare(b, right, op);
        }
        // Some node of the left whose value compares true; the walk stops at the first.
        std::vector<KelStringBase> others;
        if (right.type == Value::Nodes)
            forEachNode(right, [&](const Match& m) { others.push_back(stringValue(m)); return true; });
        bool found = false;
        forEachNode(left, [&](const Match& m) {
            KelStringBase s = stringValue(m);
            if (right.type == Value::Nodes) {
                for (const KelStringBase& o : others) {
                    found = equality ? ((s == o) == (op == XmlPathExpr::Equal)) : numbers(XmlPathFunctions::toNumber(s), XmlPathFunctions::toNumber(o), op);
                    if (found) break;
                }
            } else if (right.type == Value::Number) {
                found = numbers(XmlPathFunctions::toNumber(s), right.number, op);
            } else {
                found = equality ? ((s == right.string) == (op == XmlPathExpr::Equal))
                                 : numbers(XmlPathFunctions::toNumber(s), XmlPathFunctions::toNumber(right.string), op);
            }
            return !found;
        });
        return found;
    }
    if (equality) {
        bool eq;
        if (left.type == Value::Boolean || right.type == Value::Boolean) eq = boolean(left) == boolean(right);
        else if (left.type == Value::Number || right.type == Value::Number) eq = number(left) == number(right);
        else eq = left.string == right.string;
        return eq == (op == XmlPathExpr::Equal);
    }
    return numbers(number(left), number(right), op);
}

// The elements after `first` that belong to its run of adjacent text (text, CDATA, white space
// and entity reference marks). The marks go in pairs; an expansion that reaches beyond the run (it
// holds an element) stays, with its text.
std::vector<KelSyntaxElement*> XmlPathWalker::restOfTextRun(KelSyntaxElement* first) {
    std::vector<KelSyntaxElement*> run;
    for (KelSyntaxElement* t = first->nextSibling(); t; t = t->nextSibling()) {
        const NodeClass c = classify(t);
        if (c != NodeClass::Text && c != NodeClass::Transparent) break;
        run.push_back(t);
    }
    std::size_t from = 0, to = run.size();   // [from, to) belongs to the run
    std::vector<std::size_t> open;
    for (std::size_t i = 0; i < run.size(); ++i) {
        if (run[i]->typeCode() == XmlTypeEntityReferenceStart) {
            open.push_back(i);
        } else if (run[i]->typeCode() == XmlTypeEntityReferenceEnd) {
            if (open.empty())
                from = i + 1;   // the run began inside this expansion
            else
                open.pop_back();
        }
    }
    if (!open.empty()) to = open.front();
    return std::vector<KelSyntaxElement*>(run.begin() + static_cast<std::ptrdiff_t>(from),
                                          run.begin() + static_cast<std::ptrdiff_t>(std::max(from, to)));
}

void XmlPathWalker::remove(const Match& match) {
    if (match.kind == Match::Document) throw std::invalid_argument("the document itself cannot be deleted");
    // A text node is the whole run: its CDATA sections and other parts go with its first element.
    std::vector<KelSyntaxElement*> parts;
    if (match.kind == Match::Text) parts = restOfTextRun(match.element);
    match.element->detach();
    for (KelSyntaxElement* t : parts) t->detach();
}

void XmlPathWalker::setValue(const Match& match, const KelStringBase& value) {
    KelSyntaxElement* e = match.element;
    switch (match.kind) {
    case Match::Document:
        throw std::invalid_argument("the document itself has no value to set");
    case Match::Element: {
        // The text replaces the content: every child but the attributes goes, entity references
        // whole, then the element's value goes on one new content child.
        KelSyntaxElement* child = e->firstChild();
        while (child) {
            KelSyntaxElement* next = child->nextSibling();
            if (child->type() != XmlTypeAttribute) child->detach();
            child = next;
        }
        e->setValue(value);
        return;
    }
    case Match::Text: {
        // The node is the whole run of adjacent text: the first element takes the value and the
        // rest of the run goes.
        const std::vector<KelSyntaxElement*> rest = restOfTextRun(e);
        e->setValue(value);
        for (KelSyntaxElement* t : rest) t->detach();
        return;
    }
    case Match::Attribute:
    case Match::Comment:
    case Match::ProcessingInstruction:
        e->setValue(value);
        return;
    }
}

KelStringBase XmlPathWalker::stringValue(const Match& match) {
    KelStringBase out;
    KelSyntaxElement* e = match.element;
    if (!e) return out;
    switch (match.kind) {
    case Match::Attribute:
    case Match::Comment:
    case Match::ProcessingInstruction:
        appendValue(out, e);
        return out;
    case Match::Text:
        for (KelSyntaxElement* t = e; t; t = t->nextSibling()) {
            NodeClass c = classify(t);
            if (c == NodeClass::Text) appendValue(out, t);
            else if (c != NodeClass::Transparent) break;
        }
        return out;
    case Match::Element:
    case Match::Document: {
        // Every text below, in document order; the walk goes down through elements only.
        KelSyntaxElement* current = e->firstChild();
        while (current) {
            NodeClass c = classify(current);
            KelSyntaxElement* down = nullptr;
            if (c == NodeClass::Text && current->parent() && current->parent()->typeCode() == XmlTypeElement)
                appendValue(out, current);
            else if (c == NodeClass::Element)
                down = current->firstChild();
            if (down) {
                current = down;
                continue;
            }
            while (current && current != e && !current->nextSibling()) current = current->parent();
            current = (current && current != e) ? current->nextSibling() : nullptr;
        }
        return out;
    }
    }
    return out;
}

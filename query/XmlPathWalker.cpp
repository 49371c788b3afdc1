#include "query/XmlPathWalker.hpp"

#include "host/KelSyntaxElement.hpp"
#include "common/XmlElementType.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <vector>

namespace {
using Match = XmlPathQuery::Match;

enum class NodeClass { None, Element, Text, Comment, ProcessingInstruction, Transparent, Attribute };

NodeClass classify(const KelSyntaxElement* e) {
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

// Adjacent text, CDATA and white space (across entity reference marks) make one text node,
// which the first of them stands for.
bool continuesText(const KelSyntaxElement* e) {
    const KelSyntaxElement* p = e->knownPreviousSibling();
    while (p && classify(p) == NodeClass::Transparent) p = p->knownPreviousSibling();
    return p && classify(p) == NodeClass::Text;
}

// The next child node of `parent` after `from` (or the first when null), scanning on demand.
// Text outside the document element (white space between prolog items) is no node.
KelSyntaxElement* nextChildNode(KelSyntaxElement* parent, KelSyntaxElement* from, Match::Kind& kind) {
    const bool inElement = parent->typeCode() == XmlTypeElement;
    for (KelSyntaxElement* c = from ? from->nextSibling() : parent->firstChild(); c; c = c->nextSibling()) {
        switch (classify(c)) {
        case NodeClass::Element:
            kind = Match::Element;
            return c;
        case NodeClass::Text:
            if (!inElement || continuesText(c)) break;
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

void appendValue(KelStringBase& out, KelSyntaxElement* e) {
    const KelValue& v = e->value();
    if (!v.isNull()) out += v.valueAsCharacter();
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
} // namespace

struct XmlPathWalker::Value {
    enum Type { Boolean, Number, String, Nodes } type = Boolean;
    bool boolean = false;
    double number = 0;
    KelStringBase string;
    const XmlPathLocation* path = nullptr;
    Match context;
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

bool XmlPathWalker::walk(const XmlPathLocation& path, const Match& context, const Visitor& visit) {
    if (path.neverMatches || !context.element) return true;
    Match start = context;
    if (path.absolute) {
        KelSyntaxElement* e = context.element;
        while (e->typeCode() != XmlTypeRoot && e->parent()) e = e->parent();
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
            if (!predicate(*p, start, Position{1, &one})) return true;
    }
    for (int i = 0; i < path.leadingParents; ++i) {
        if (start.kind == Match::Document) return true;
        KelSyntaxElement* up = start.element->parent();
        if (!up) return true;
        start = contextOf(up);
    }
    XmlPathWalker walker(path, visit);
    return walker.run(start, 1u);
}

struct XmlPathWalker::Frame {
    Match parent;
    std::vector<std::size_t> childSteps;               // steps that take children of `parent`
    std::uint64_t inherited = 0;                       // '//' steps every descendant is in
    std::vector<std::vector<std::size_t>> counts;      // per child step and predicate: positions
    std::vector<std::vector<long>> lastCaches;         // per child step and predicate: last()
    KelSyntaxElement* child = nullptr;                 // the child reached so far
    bool elementSeen = false;
};

bool XmlPathWalker::run(const Match& start, std::uint64_t mask) {
    std::vector<Frame> stack;
    if (!enter(start, mask, stack)) return false;
    while (!stack.empty()) {
        Frame& f = stack.back();
        Match child;
        child.element = nextChildNode(f.parent.element, f.child, child.kind);
        if (!child.element) {
            stack.pop_back();
            continue;
        }
        f.child = child.element;
        std::uint64_t cmask = f.inherited;
        for (std::size_t i = 0; i < f.childSteps.size(); ++i) {
            const std::size_t s = f.childSteps[i];
            const XmlPathStep& step = iPath.steps[s - 1];
            if (!testNode(step, child)) continue;
            bool pass = true;
            for (std::size_t j = 0; j < step.predicates.size() && pass; ++j) {
                const std::function<std::size_t()> last = [this, &f, &step, i, j]() {
                    return countCandidates(f.parent, step, j, f.lastCaches[i]);
                };
                pass = predicate(*step.predicates[j], child, Position{++f.counts[i][j], &last});
            }
            if (pass) cmask |= std::uint64_t(1) << s;
        }
        if (child.kind == Match::Element) f.elementSeen = true;
        // Stop reading this parent's children once no step can match any of the rest: a
        // positional first predicate already reached, or, under the document node, the one
        // document element already behind.
        bool more = f.inherited != 0;
        for (std::size_t i = 0; i < f.childSteps.size() && !more; ++i) {
            const XmlPathStep& step = iPath.steps[f.childSteps[i] - 1];
            const bool elementTest = step.test == XmlPathStep::Name || step.test == XmlPathStep::AnyElement;
            if (f.parent.kind == Match::Document && elementTest && f.elementSeen) continue;
            if (!step.predicates.empty() && step.predicates[0]->kind == XmlPathExpr::Number &&
                static_cast<double>(f.counts[i][0]) >= step.predicates[0]->number)
                continue;
            more = true;
        }
        if (!more) stack.pop_back();   // `f` is gone from here on
        if (cmask && !enter(child, cmask, stack)) return false;
    }
    return true;
}

bool XmlPathWalker::enter(const Match& node, std::uint64_t mask, std::vector<Frame>& stack) {
    const std::size_t n = iPath.steps.size();
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
                if (!(pass = predicate(*p, node, Position{1, &one}))) break;
            if (pass) mask |= std::uint64_t(1) << k;
        }
    }
    if ((mask & (std::uint64_t(1) << n)) && !iVisit(node)) return false;
    if (node.kind == Match::Element && !visitAttributes(node.element, mask, stack)) return false;
    if (node.kind != Match::Element && node.kind != Match::Document) return true;
    Frame f;
    f.parent = node;
    for (std::size_t k = 0; k <= n; ++k) {
        if (!(mask & (std::uint64_t(1) << k))) continue;
        if (k < n && iPath.steps[k].axis == XmlPathStep::Child) f.childSteps.push_back(k + 1);
        if (k >= 1 && iPath.steps[k - 1].axis == XmlPathStep::DescendantOrSelf) f.inherited |= std::uint64_t(1) << k;
    }
    if (f.childSteps.empty() && !f.inherited) return true;
    for (std::size_t s : f.childSteps) {
        f.counts.emplace_back(iPath.steps[s - 1].predicates.size(), 0);
        f.lastCaches.emplace_back(iPath.steps[s - 1].predicates.size(), -1);
    }
    stack.push_back(std::move(f));
    return true;
}

bool XmlPathWalker::visitAttributes(KelSyntaxElement* element, std::uint64_t mask, std::vector<Frame>& stack) {
    const std::size_t n = iPath.steps.size();
    std::vector<std::size_t> active;
    for (std::size_t s = 1; s <= n; ++s)
        if ((mask & (std::uint64_t(1) << (s - 1))) && iPath.steps[s - 1].axis == XmlPathStep::Attribute) active.push_back(s);
    if (active.empty()) return true;
    // Attributes come first among a scanned element's children, and all of them at once; an
    // element built or changed by hand may have them anywhere, so the known children are all
    // looked at, but nothing further is scanned for them.
    std::vector<Match> attributes;
    for (KelSyntaxElement* c = element->firstChild(); c; c = c->knownNextSibling()) {
        if (classify(c) != NodeClass::Attribute) continue;
        Match m;
        m.element = c;
        m.kind = Match::Attribute;
        attributes.push_back(m);
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
            if (!testNode(step, m)) continue;
            bool pass = true;
            for (std::size_t j = 0; j < step.predicates.size() && pass; ++j) {
                const std::function<std::size_t()> last = [&, s, j]() {
                    return countAttributes(attributes, step, j, lastCaches[s]);
                };
                pass = predicate(*step.predicates[j], m, Position{++counts[s][j], &last});
            }
            if (pass) amask |= std::uint64_t(1) << s;
        }
        if (amask && !enter(m, amask, stack)) return false;
    }
    return true;
}

std::size_t XmlPathWalker::countAttributes(const std::vector<Match>& attributes, const XmlPathStep& step,
                                           std::size_t predicates, std::vector<long>& lastCache) {
    if (lastCache[predicates] >= 0) return static_cast<std::size_t>(lastCache[predicates]);
    std::vector<std::size_t> counts(predicates, 0);
    std::size_t total = 0;
    for (const Match& m : attributes) {
        if (!testNode(step, m)) continue;
        bool pass = true;
        for (std::size_t i = 0; i < predicates && pass; ++i) {
            const std::function<std::size_t()> last = [&, i]() { return countAttributes(attributes, step, i, lastCache); };
            pass = predicate(*step.predicates[i], m, Position{++counts[i], &last});
        }
        if (pass) ++total;
    }
    lastCache[predicates] = static_cast<long>(total);
    return total;
}

std::size_t XmlPathWalker::countCandidates(const Match& parent, const XmlPathStep& step, std::size_t predicates,
                                           std::vector<long>& lastCache) {
    if (lastCache[predicates] >= 0) return static_cast<std::size_t>(lastCache[predicates]);
    std::vector<std::size_t> counts(predicates, 0);
    std::size_t total = 0;
    Match child;
    for (child.element = nextChildNode(parent.element, nullptr, child.kind); child.element;
         child.element = nextChildNode(parent.element, child.element, child.kind)) {
        if (!testNode(step, child)) continue;
        bool pass = true;
        for (std::size_t i = 0; i < predicates && pass; ++i) {
            const std::function<std::size_t()> last = [&, i]() { return countCandidates(parent, step, i, lastCache); };
            pass = predicate(*step.predicates[i], child, Position{++counts[i], &last});
        }
        if (pass) ++total;
    }
    lastCache[predicates] = static_cast<long>(total);
    return total;
}

bool XmlPathWalker::testNode(const XmlPathStep& step, const Match& node) {
    switch (step.test) {
    case XmlPathStep::Name:
        if (step.axis == XmlPathStep::Attribute) return node.kind == Match::Attribute && node.element->name() == step.name;
        return node.kind == Match::Element && node.element->name() == step.name;
    case XmlPathStep::AnyElement:
        return node.kind == Match::Element;
    case XmlPathStep::AnyAttribute:
        return node.kind == Match::Attribute;
    case XmlPathStep::Text:
        return node.kind == Match::Text;
    case XmlPathStep::Comment:
        return node.kind == Match::Comment;
    case XmlPathStep::ProcessingInstruction:
        return node.kind == Match::ProcessingInstruction;
    case XmlPathStep::AnyNode:
        return true;
    }
    return false;
}

bool XmlPathWalker::predicate(const XmlPathExpr& expr, const Match& node, const Position& position) {
    Value v = evaluate(expr, node, position);
    if (v.type == Value::Number) return v.number == static_cast<double>(position.position);
    return boolean(v);
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
    case XmlPathExpr::Not:
        v.boolean = !boolean(evaluate(*expr.left, node, position));
        return v;
    case XmlPathExpr::Equal:
    case XmlPathExpr::NotEqual:
    case XmlPathExpr::Less:
    case XmlPathExpr::LessOrEqual:
    case XmlPathExpr::Greater:
    case XmlPathExpr::GreaterOrEqual:
        v.boolean = compare(evaluate(*expr.left, node, position), evaluate(*expr.right, node, position), expr.kind);
        return v;
    case XmlPathExpr::Literal:
        v.type = Value::String;
        v.string = expr.literal;
        return v;
    case XmlPathExpr::Number:
        v.type = Value::Number;
        v.number = expr.number;
        return v;
    case XmlPathExpr::Position:
        v.type = Value::Number;
        v.number = static_cast<double>(position.position);
        return v;
    case XmlPathExpr::Last:
        v.type = Value::Number;
        v.number = position.last ? static_cast<double>((*position.last)()) : 1.0;
        return v;
    case XmlPathExpr::True:
        v.boolean = true;
        return v;
    case XmlPathExpr::False:
        return v;
    case XmlPathExpr::Count: {
        std::size_t count = 0;
        walk(expr.path, node, [&](const Match&) { ++count; return true; });
        v.type = Value::Number;
        v.number = static_cast<double>(count);
        return v;
    }
    case XmlPathExpr::String: {
        v.type = Value::String;
        walk(expr.path, node, [&](const Match& m) { v.string = stringValue(m); return false; });
        return v;
    }
    case XmlPathExpr::Path:
        v.type = Value::Nodes;
        v.path = &expr.path;
        v.context = node;
        return v;
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
    case Value::Nodes: {
        bool any = false;
        walk(*value.path, value.context, [&](const Match&) { any = true; return false; });
        return any;
    }
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
        return toNumber(string(value));
    }
}

KelStringBase XmlPathWalker::string(const Value& value) {
    switch (value.type) {
    case Value::Boolean:
        return KelStringBase::fromAscii(value.boolean ? "true" : "false");
    case Value::Number:
        return numberText(value.number);
    case Value::String:
        return value.string;
    case Value::Nodes: {
        KelStringBase s;
        walk(*value.path, value.context, [&](const Match& m) { s = stringValue(m); return false; });
        return s;
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
            walk(*right.path, right.context, [&](const Match& m) { others.push_back(stringValue(m)); return true; });
        bool found = false;
        walk(*left.path, left.context, [&](const Match& m) {
            KelStringBase s = stringValue(m);
            if (right.type == Value::Nodes) {
                for (const KelStringBase& o : others) {
                    found = equality ? ((s == o) == (op == XmlPathExpr::Equal)) : numbers(toNumber(s), toNumber(o), op);
                    if (found) break;
                }
            } else if (right.type == Value::Number) {
                found = numbers(toNumber(s), right.number, op);
            } else {
                found = equality ? ((s == right.string) == (op == XmlPathExpr::Equal))
                                 : numbers(toNumber(s), toNumber(right.string), op);
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
        // rest of the run goes. Entity reference marks go in pairs; an expansion that reaches
        // beyond the run (it holds an element) stays, with its text.
        std::vector<KelSyntaxElement*> run;
        for (KelSyntaxElement* t = e->nextSibling(); t; t = t->nextSibling()) {
            const NodeClass c = classify(t);
            if (c != NodeClass::Text && c != NodeClass::Transparent) break;
            run.push_back(t);
        }
        std::size_t from = 0, to = run.size();   // [from, to) goes
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
        e->setValue(value);
        for (std::size_t i = from; i < to; ++i) run[i]->detach();
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

double XmlPathWalker::toNumber(const KelStringBase& text) {
    const std::string s = text.toUtf8();
    std::size_t b = 0, e = s.size();
    while (b < e && isSpace(s[b])) ++b;
    while (e > b && isSpace(s[e - 1])) --e;
    std::size_t i = b;
    if (i < e && s[i] == '-') ++i;
    std::size_t digits = 0, dots = 0;
    for (std::size_t j = i; j < e; ++j) {
        if (s[j] >= '0' && s[j] <= '9') ++digits;
        else if (s[j] == '.' && ++dots == 1) continue;
        else return std::numeric_limits<double>::quiet_NaN();
    }
    if (digits == 0) return std::numeric_limits<double>::quiet_NaN();
    return std::strtod(s.substr(b, e - b).c_str(), nullptr);
}

KelStringBase XmlPathWalker::numberText(double value) {
    if (std::isnan(value)) return KelStringBase::fromAscii("NaN");
    if (std::isinf(value)) return KelStringBase::fromAscii(value > 0 ? "Infinity" : "-Infinity");
    char buffer[40];
    if (value == std::floor(value) && std::fabs(value) < 1e15) {
        std::snprintf(buffer, sizeof buffer, "%.0f", value == 0 ? 0.0 : value);
    } else {
        std::snprintf(buffer, sizeof buffer, "%.15g", value);
    }
    return KelStringBase::fromAscii(buffer);
}

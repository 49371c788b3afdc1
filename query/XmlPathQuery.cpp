#include "query/XmlPathQuery.hpp"

#include "query/XmlPathCompiler.hpp"
#include "query/XmlPathFunctions.hpp"
#include "query/XmlPathWalker.hpp"

#include "host/KelSyntaxElement.hpp"
#include "common/XmlElementType.hpp"

#include <limits>

struct XmlPathQuery::Compiled {
    std::shared_ptr<const XmlPathExpr> expr;
};

XmlPathQuery::XmlPathQuery(const std::string& expression) : XmlPathQuery(expression, Namespaces()) {}

XmlPathQuery::XmlPathQuery(const std::string& expression, const Namespaces& namespaces) : iText(expression) {
    auto compiled = std::make_shared<Compiled>();
    compiled->expr = XmlPathCompiler::compile(expression, namespaces);
    iCompiled = std::move(compiled);
}

XmlPathQuery::XmlPathQuery(std::shared_ptr<const Compiled> compiled, std::string text)
    : iText(std::move(text)), iCompiled(std::move(compiled)) {}
XmlPathQuery::XmlPathQuery(const XmlPathQuery&) = default;
XmlPathQuery& XmlPathQuery::operator=(const XmlPathQuery&) = default;
XmlPathQuery::XmlPathQuery(XmlPathQuery&&) noexcept = default;
XmlPathQuery& XmlPathQuery::operator=(XmlPathQuery&&) noexcept = default;
XmlPathQuery::~XmlPathQuery() = default;

XmlPathQuery::ResultKind XmlPathQuery::resultKind() const noexcept {
    const XmlPathExpr& e = *iCompiled->expr;
    switch (e.kind) {
    case XmlPathExpr::Path:
    case XmlPathExpr::Union:
    case XmlPathExpr::Filter:
        return ResultKind::Nodes;
    case XmlPathExpr::Add:
    case XmlPathExpr::Subtract:
    case XmlPathExpr::Multiply:
    case XmlPathExpr::Divide:
    case XmlPathExpr::Modulo:
    case XmlPathExpr::Negate:
    case XmlPathExpr::Number:
        return ResultKind::Number;
    case XmlPathExpr::Literal:
        return ResultKind::String;
    case XmlPathExpr::Function:
        break;
    default:
        return ResultKind::Boolean;
    }
    switch (e.call) {
    case XmlPathExpr::Last:
    case XmlPathExpr::Position:
    case XmlPathExpr::Count:
    case XmlPathExpr::StringLength:
    case XmlPathExpr::NumberOf:
    case XmlPathExpr::Sum:
    case XmlPathExpr::Floor:
    case XmlPathExpr::Ceiling:
    case XmlPathExpr::Round:
        return ResultKind::Number;
    case XmlPathExpr::StartsWith:
    case XmlPathExpr::Contains:
    case XmlPathExpr::Boolean:
    case XmlPathExpr::Not:
    case XmlPathExpr::True:
    case XmlPathExpr::False:
        return ResultKind::Boolean;
    default:
        return ResultKind::String;
    }
}

bool XmlPathQuery::streams() const noexcept { return XmlPathWalker::streamablePath(*iCompiled->expr) != nullptr; }

std::size_t XmlPathQuery::forEach(KelSyntaxElement* context, const std::function<bool(const Match&)>& visit,
                                  TreeUse use) const {
    std::size_t calls = 0;
    const XmlPathExpr* e = iCompiled->expr.get();
    // A value computed from a node set (count(//a), string(b)) visits the nodes of that set.
    if (!e->isNodeSet()) {
        if (e->kind != XmlPathExpr::Function || e->arguments.empty() || !e->arguments[0]->isNodeSet()) return 0;
        e = e->arguments[0].get();
    }
    const Match start = XmlPathWalker::contextOf(context);
    if (!start.element) return 0;
    XmlPathWalker::nodes(
        *e, start,
        [&](const Match& m) {
            ++calls;
            return visit(m);
        },
        use == TreeUse::DeletePassed);
    return calls;
}

XmlPathQuery::Match XmlPathQuery::first(KelSyntaxElement* context, TreeUse use) const {
    Match found;
    forEach(
        context,
        [&](const Match& m) {
            found = m;
            return false;
        },
        use);
    return found;
}

std::vector<XmlPathQuery::Match> XmlPathQuery::all(KelSyntaxElement* context) const {
    std::vector<Match> matches;
    forEach(context, [&](const Match& m) {
        matches.push_back(m);
        return true;
    });
    return matches;
}

double XmlPathQuery::number(KelSyntaxElement* context, TreeUse use) const {
    const Match start = XmlPathWalker::contextOf(context);
    if (!start.element) return std::numeric_limits<double>::quiet_NaN();
    return XmlPathWalker::number(*iCompiled->expr, start, use == TreeUse::DeletePassed);
}

KelStringBase XmlPathQuery::string(KelSyntaxElement* context, TreeUse use) const {
    const Match start = XmlPathWalker::contextOf(context);
    if (!start.element) return KelStringBase();
    return XmlPathWalker::string(*iCompiled->expr, start, use == TreeUse::DeletePassed);
}

bool XmlPathQuery::boolean(KelSyntaxElement* context, TreeUse use) const {
    const Match start = XmlPathWalker::contextOf(context);
    if (!start.element) return false;
    return XmlPathWalker::boolean(*iCompiled->expr, start, use == TreeUse::DeletePassed);
}

KelStringBase XmlPathQuery::numberText(double value) { return XmlPathFunctions::numberText(value); }

KelStringBase XmlPathQuery::stringValue(const Match& match) { return XmlPathWalker::stringValue(match); }

void XmlPathQuery::setValue(const Match& match, const KelStringBase& value) { XmlPathWalker::setValue(match, value); }

void XmlPathQuery::remove(const Match& match) { XmlPathWalker::remove(match); }

KelSyntaxElement* XmlPathQuery::lastElementOf(const Match& match) {
    if (match.kind != Match::Text) return match.element;
    const std::vector<KelSyntaxElement*> rest = XmlPathWalker::restOfTextRun(match.element);
    return rest.empty() ? match.element : rest.back();
}

std::size_t XmlPathQuery::setValues(KelSyntaxElement* context, const KelStringBase& value) const {
    // Every node is found before the first changes: a change while the walk goes on would move
    // what it has still to visit.
    const std::vector<Match> targets = all(context);
    for (const Match& t : targets)
        if (t.kind == Match::Document) throw std::invalid_argument("the document itself has no value to set: " + iText);
    // A path ending in "@name" also adds the attribute to each element the rest of it selects that
    // lacks it: to every one, whether or not others have it already.
    std::vector<KelSyntaxElement*> lacking;
    if (const KelStringBase* name = finalAttributeName()) {
        std::unordered_set<const KelSyntaxElement*> having;
        for (const Match& t : targets)
            if (t.kind == Match::Attribute) having.insert(t.element->parent());
        for (const Match& owner : ownerQuery().all(context))
            if (owner.kind == Match::Element && having.count(owner.element) == 0) lacking.push_back(owner.element);
        // No attribute step finds a declaration, so one "added" here would be a second of its name.
        const std::u16string_view addedName = name->view();
        if (!lacking.empty() && (addedName == u"xmlns" || addedName.substr(0, 6) == u"xmlns:"))
            throw std::invalid_argument("a namespace declaration is no attribute a path can set: " + iText);
    }
    for (const Match& t : targets) setValue(t, value);
    for (KelSyntaxElement* owner : lacking) {
        KelSyntaxElement* lastAttribute = nullptr;
        for (KelSyntaxElement* c = owner->firstChild(); c && c->type() == XmlTypeAttribute; c = c->knownNextSibling())
            lastAttribute = c;
        KelSyntaxElement* attribute = lastAttribute ? lastAttribute->createAfter(*finalAttributeName())
                                                    : owner->createFirstChild(*finalAttributeName());
        attribute->setType(XmlTypeAttribute);
        attribute->setValue(value);
    }
    return targets.size() + lacking.size();
}

const KelStringBase* XmlPathQuery::finalAttributeName() const noexcept {
    if (iCompiled->expr->kind != XmlPathExpr::Path) return nullptr;
    const XmlPathLocation& p = iCompiled->expr->path;
    if (p.steps.empty()) return nullptr;
    const XmlPathStep& last = p.steps.back();
    // A name matched by its namespace has no one prefix to create it with.
    if (last.axis != XmlPathStep::Attribute || last.test != XmlPathStep::Name || !last.predicates.empty() ||
        last.inNamespace)
        return nullptr;
    return &last.name;
}

XmlPathQuery XmlPathQuery::ownerQuery() const {
    auto owner = std::make_shared<Compiled>();
    auto path = std::make_shared<XmlPathExpr>();
    path->kind = XmlPathExpr::Path;
    if (finalAttributeName()) {
        path->path = iCompiled->expr->path;
        path->path.steps.pop_back();
    } else {
        path->path.neverMatches = true;
    }
    owner->expr = std::move(path);
    std::string text = iText;
    std::size_t at = text.rfind('@');
    if (finalAttributeName() && at != std::string::npos) text.erase(at > 0 && text[at - 1] == '/' ? at - 1 : at);
    return XmlPathQuery(owner, text);
}

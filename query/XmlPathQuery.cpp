#include "query/XmlPathQuery.hpp"

#include "query/XmlPathCompiler.hpp"
#include "query/XmlPathWalker.hpp"

#include "host/KelSyntaxElement.hpp"
#include "common/XmlElementType.hpp"

struct XmlPathQuery::Compiled {
    XmlPathCompiler::Function function = XmlPathCompiler::Function::None;
    XmlPathLocation path;
};

XmlPathQuery::XmlPathQuery(const std::string& expression) : iText(expression) {
    XmlPathCompiler::Result r = XmlPathCompiler::compile(expression);
    auto compiled = std::make_shared<Compiled>();
    compiled->function = r.function;
    compiled->path = std::move(r.path);
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
    switch (iCompiled->function) {
    case XmlPathCompiler::Function::Count:
        return ResultKind::Number;
    case XmlPathCompiler::Function::String:
        return ResultKind::String;
    default:
        return ResultKind::Nodes;
    }
}

std::size_t XmlPathQuery::forEach(KelSyntaxElement* context, const std::function<bool(const Match&)>& visit) const {
    std::size_t calls = 0;
    XmlPathWalker::walk(iCompiled->path, XmlPathWalker::contextOf(context), [&](const Match& m) {
        ++calls;
        return visit(m);
    });
    return calls;
}

XmlPathQuery::Match XmlPathQuery::first(KelSyntaxElement* context) const {
    Match found;
    forEach(context, [&](const Match& m) {
        found = m;
        return false;
    });
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

double XmlPathQuery::number(KelSyntaxElement* context) const {
    if (iCompiled->function == XmlPathCompiler::Function::Count)
        return static_cast<double>(forEach(context, [](const Match&) { return true; }));
    return XmlPathWalker::toNumber(string(context));
}

KelStringBase XmlPathQuery::string(KelSyntaxElement* context) const {
    if (iCompiled->function == XmlPathCompiler::Function::Count) return XmlPathWalker::numberText(number(context));
    Match m = first(context);
    return m ? XmlPathWalker::stringValue(m) : KelStringBase();
}

KelStringBase XmlPathQuery::stringValue(const Match& match) { return XmlPathWalker::stringValue(match); }

void XmlPathQuery::setValue(const Match& match, const KelStringBase& value) { XmlPathWalker::setValue(match, value); }

std::size_t XmlPathQuery::setValues(KelSyntaxElement* context, const KelStringBase& value) const {
    // Every node is found before the first changes: a change while the walk goes on would move
    // what it has still to visit.
    const std::vector<Match> targets = all(context);
    for (const Match& t : targets)
        if (t.kind == Match::Document) throw std::invalid_argument("the document itself has no value to set: " + iText);
    for (const Match& t : targets) setValue(t, value);
    if (!targets.empty() || !finalAttributeName()) return targets.size();
    std::size_t added = 0;
    for (const Match& owner : ownerQuery().all(context)) {
        if (owner.kind != Match::Element) continue;
        KelSyntaxElement* lastAttribute = nullptr;
        for (KelSyntaxElement* c = owner.element->firstChild(); c && c->type() == XmlTypeAttribute; c = c->knownNextSibling())
            lastAttribute = c;
        KelSyntaxElement* attribute = lastAttribute ? lastAttribute->createAfter(*finalAttributeName())
                                                    : owner.element->createFirstChild(*finalAttributeName());
        attribute->setType(XmlTypeAttribute);
        attribute->setValue(value);
        ++added;
    }
    return added;
}

const KelStringBase* XmlPathQuery::finalAttributeName() const noexcept {
    const XmlPathLocation& p = iCompiled->path;
    if (iCompiled->function != XmlPathCompiler::Function::None || p.steps.empty()) return nullptr;
    const XmlPathStep& last = p.steps.back();
    if (last.axis != XmlPathStep::Attribute || last.test != XmlPathStep::Name || !last.predicates.empty()) return nullptr;
    return &last.name;
}

XmlPathQuery XmlPathQuery::ownerQuery() const {
    auto owner = std::make_shared<Compiled>();
    if (finalAttributeName()) {
        owner->path = iCompiled->path;
        owner->path.steps.pop_back();
    } else {
        owner->path.neverMatches = true;
    }
    std::string text = iText;
    std::size_t at = text.rfind('@');
    if (finalAttributeName() && at != std::string::npos) text.erase(at > 0 && text[at - 1] == '/' ? at - 1 : at);
    return XmlPathQuery(owner, text);
}

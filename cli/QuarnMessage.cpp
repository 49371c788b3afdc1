#include "cli/QuarnMessage.hpp"

#include "host/KelConverter.hpp"
#include "host/KelEncodingDetector.hpp"
#include "host/KelParser.hpp"
#include "host/KelParserInspector.hpp"
#include "host/KelParserRegistry.hpp"
#include "host/KelSyntaxElement.hpp"
#include "common/XmlElementType.hpp"
#include "query/XmlPathQuery.hpp"
#include "cli/ErrorReport.hpp"
#include "cli/InputFile.hpp"
#include "cli/MessageOptions.hpp"
#include "cli/UsageError.hpp"

#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace {
double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}
} // namespace

QuarnMessage::QuarnMessage(const MessageOptions& options, const std::string& file, bool spanReuse)
    : iOptions(options), iFile(file) {
    auto start = std::chrono::steady_clock::now();
    iInput = InputFile::read(file);
    readMs = millisecondsSince(start);
    makeParser(spanReuse);
    startParse();
}

QuarnMessage::QuarnMessage(const MessageOptions& options, const KelBuffer& input, bool spanReuse)
    : iOptions(options), iInput(input) {
    makeParser(spanReuse);
    startParse();
}

void QuarnMessage::makeParser(bool spanReuse) {
    const KelStringBase domain = KelStringBase::fromUtf8(iOptions.domain);
    iParser = KelParserRegistry::instance().createParser(domain, iGroup, spanReuse);
    // --no-check: nothing checks what is passed on unscanned, the library's write included.
    if (iOptions.check == MessageOptions::CheckNever)
        if (const auto inspector = KelParserRegistry::instance().inspector(domain)) inspector->trustInput(iParser, true);
}

void QuarnMessage::refresh(const KelBuffer& input) {
    iOutput.reset();
    iInput = input;
    startParse();
}

void QuarnMessage::startParse() {
    iCcsid = iOptions.ccsid;
    iEncoding = iOptions.encoding;
    // A message whose page cannot be found is reported under its file's name too.
    ErrorReport::setDocument(iFile, iInput, iCcsid, iEncoding);
    if (iCcsid == -1) {
        // No ccsid given: the message says what it is in (a given ccsid always decides).
        const KelEncodingDetector::Result found =
            KelEncodingDetector::detect(iInput.data(), static_cast<std::size_t>(iInput.length() > 0 ? iInput.length() : 0));
        iCcsid = found.ccsid;
        if (!iOptions.encodingGiven) iEncoding = found.encoding;
    }
    ErrorReport::setDocument(iFile, iInput, iCcsid, iEncoding);
    iParser->refreshElementsFromBitStream(nullptr, iInput, iEncoding, iCcsid);
}

KelSyntaxElement* QuarnMessage::root() const { return iParser->rootElement(); }

bool QuarnMessage::declaresXml11() const {
    KelSyntaxElement* declaration = root()->firstChild();
    if (declaration == nullptr || declaration->type() != XmlTypeXmlDecl) return false;
    for (KelSyntaxElement* part = declaration->firstChild(); part != nullptr; part = part->nextSibling())
        if (part->type() == XmlTypeVersion) return part->value().valueAsCharacter().view() == u"1.1";
    return false;
}

bool QuarnMessage::inputChanged() const noexcept { return InputFile::changedWhileRead(iInput); }

void QuarnMessage::checkInput() const {
    if (inputChanged()) throw std::runtime_error("cannot read " + iFile + ": the file shrank while it was read");
}

namespace {
using Edit = MessageOptions::Edit;
using Match = XmlPathQuery::Match;

// What -x EXPR yields with `context` as its context node, as text.
KelStringBase computed(const std::string& expression, KelSyntaxElement* context) {
    const XmlPathQuery query(expression);
    // A number, string or boolean as the engine writes it (the one rule `select` prints by).
    if (query.resultKind() != XmlPathQuery::ResultKind::Nodes) return query.string(context);
    const Match first = query.first(context);
    return first ? XmlPathQuery::stringValue(first) : KelStringBase();
}

// A value or name an edit gives, which is UTF-8 (the command line's and the flow file's bytes):
// anything else is refused, not stored with U+FFFD in its place.
KelStringBase editText(const std::string& text) {
    try {
        return KelStringBase::fromValidUtf8(text);
    } catch (const std::invalid_argument& e) {
        throw UsageError(std::string("an edit's value or name: ") + e.what());
    }
}

// A new attribute of `element`: after the attributes it has, before its content.
KelSyntaxElement* newAttribute(KelSyntaxElement* element) {
    KelSyntaxElement* child = element->firstChild();
    if (!child || child->type() != XmlTypeAttribute) return child ? child->createBefore() : element->createLastChild();
    while (child->nextSibling() && child->nextSibling()->type() == XmlTypeAttribute) child = child->nextSibling();
    return child->createAfter();
}

// -s, -i, -a: the new node, placed as the edit says; an attr always goes on the node itself.
void addNode(const Edit& edit, const Match& target) {
    KelSyntaxElement* at = target.element;
    const bool attribute = edit.nodeType == "attr";
    if ((attribute || edit.kind == Edit::Subnode) && target.kind != Match::Element && target.kind != Match::Document)
        throw UsageError("only an element can take a child or an attribute: " + edit.path);
    if (!attribute && edit.kind != Edit::Subnode && target.kind == Match::Document)
        throw UsageError("nothing can stand before or after the document itself: " + edit.path);
    KelSyntaxElement* made = attribute                    ? newAttribute(at)
                             : edit.kind == Edit::Subnode ? at->createLastChild()
                             : edit.kind == Edit::Insert  ? at->createBefore()
                                                          : XmlPathQuery::lastElementOf(target)->createAfter();
    const KelStringBase value = editText(edit.value);
    if (edit.nodeType == "text") {
        made->setType(XmlTypeContent);
        made->setValue(value);
        return;
    }
    made->setType(attribute ? XmlTypeAttribute : XmlTypeElement);
    made->setName(editText(edit.name));
    if (attribute) {
        made->setValue(value);
    } else if (!edit.value.empty()) {
        KelSyntaxElement* text = made->createLastChild();
        text->setType(XmlTypeContent);
        text->setValue(value);
    }
}

// The name -r gives a node, as xmlstarlet ed gives it: a name without a prefix keeps the prefix
// the node had, so a renamed element or attribute stays in its namespace; a name with a prefix
// is taken as given.
KelStringBase renamed(KelSyntaxElement* node, const std::string& name) {
    KelStringBase given = editText(name);   // refuses a name that is not UTF-8, at its own offsets
    if (name.find(':') != std::string::npos) return given;
    const std::string old = node->name().toUtf8();
    const std::size_t colon = old.find(':');
    return colon == std::string::npos ? given : editText(old.substr(0, colon + 1) + name);
}

void applyTo(const Edit& edit, const Match& target) {
    switch (edit.kind) {
    case Edit::Delete:
        if (target.kind == Match::Document) throw UsageError("the document itself cannot be deleted: " + edit.path);
        XmlPathQuery::remove(target);
        return;
    case Edit::Rename:
        if (target.kind != Match::Element && target.kind != Match::Attribute)
            throw UsageError("only elements and attributes have names to change: " + edit.path);
        target.element->setName(renamed(target.element, edit.value));
        return;
    case Edit::Update:
        XmlPathQuery::setValue(target, edit.expression.empty() ? editText(edit.value)
                                                               : computed(edit.expression, target.element));
        return;
    default: addNode(edit, target); return;
    }
}
} // namespace

void QuarnMessage::applyEdits() {
    auto start = std::chrono::steady_clock::now();
    for (const MessageOptions::Edit& edit : iOptions.edits) {
        XmlPathQuery path(edit.path);
        if (path.resultKind() != XmlPathQuery::ResultKind::Nodes)
            throw UsageError("an edit needs a path, not a function: " + edit.path);
        if (edit.kind == MessageOptions::Edit::Set) {
            // The one rule for setting what a path selects, shared with the front door.
            std::size_t set = 0;
            try {
                set = path.setValues(root(), editText(edit.value));
            } catch (const std::invalid_argument& e) {
                throw UsageError(e.what());
            }
            if (set == 0) throw UsageError("path names nothing: " + edit.path);
            continue;
        }
        // Every node the path selects is changed once all of them are found: a change while the
        // walk goes on would move what it has still to visit.
        const std::vector<XmlPathQuery::Match> targets = path.all(root());
        if (targets.empty()) throw UsageError("path names nothing: " + edit.path);
        try {
            for (const XmlPathQuery::Match& t : targets) applyTo(edit, t);
        } catch (const std::invalid_argument& e) {
            throw UsageError(e.what());
        }
    }
    editMs = millisecondsSince(start);
}

void QuarnMessage::write() {
    auto start = std::chrono::steady_clock::now();
    const int outCcsid = iOptions.outCcsid != -1 ? iOptions.outCcsid : iCcsid;
    const int outEncoding = iOptions.outEncodingGiven ? iOptions.outEncoding : iEncoding;
    // Without span reuse every element is written as markup, so the whole message cannot be
    // handed back either.
    iParser->setReuseBitStream(iOptions.edits.empty() && iOptions.passthrough && iOptions.spanReuse);
    iOutput = std::make_unique<KelWriteBuffer>(outCcsid);
    // Only UTF-8 and UTF-16 are found without being named: a message in any other page that has
    // no declaration of its own gets one, so that whoever reads the file can tell the page.
    if (iOptions.declaration && outCcsid != 1208 && !KelConverter::isUtf16Ccsid(outCcsid)) {
        KelSyntaxElement* first = root()->firstChild();
        if (first != nullptr && first->type() != XmlTypeXmlDecl) {
            const std::string declaration =
                "<?xml version=\"1.0\" encoding=\"" + KelConverter::encodingNameFor(outCcsid) + "\"?>";
            iOutput->appendMbs(KelStringBase::fromAscii(declaration.c_str()), outCcsid, 1);
        }
    }
    iParser->refreshBitStreamFromElements(nullptr, iOutput.get(), root(), outEncoding, outCcsid);
    // A root whose end was scanned means every byte of the output came from a scanned stretch.
    const bool unscanned = !root()->isCompleteRight();
    if (iOptions.check == MessageOptions::CheckAlways || (unscanned && iOptions.check == MessageOptions::CheckWhenUnscanned))
        check();
    writeMs = millisecondsSince(start);
}

long QuarnMessage::check() {
    return iParser->checkBitStream(iInput, iEncoding, iCcsid);
}

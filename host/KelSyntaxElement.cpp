#include "host/KelSyntaxElement.hpp"

#include "host/KelElementDeleter.hpp"
#include "host/KelMessageGroup.hpp"
#include "host/KelNameTable.hpp"
#include "host/KelParser.hpp"
#include "host/KelThrow.hpp"

#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

// Every slot of every pool pays for each byte here: a table pointer, the handle, the type word,
// four-byte links and one pointer for the name and the value.
static_assert(sizeof(KelSyntaxElement) == 40, "the host's element is 40 bytes");

namespace {
// The value cells of the pool that holds `element` (made by a pool).
KelValueCells& cellsOf(const KelSyntaxElement* element) noexcept { return *KelSlotTable::headOf(element)->cells; }
} // namespace

// The parser is not kept: a pool's element finds it through its chunk's head.
KelSyntaxElement::~KelSyntaxElement() { clearStoredValue(); }

void KelSyntaxElement::clearStoredValue() noexcept {
    if (!holdsCell()) return;
    KelValueCells::Cell* held = iCell;
    holdName(held->name);
    if (inPool()) cellsOf(this).give(held);
    else delete held;
}

void KelSyntaxElement::resetStoredValue() noexcept {
    // An own cell stays, so that what value() returned before still refers to this value; so
    // does a shared cell this element alone ever held, made its own. A cell shared with others
    // is left, to be read through what value() returned until the pool is released.
    if (!holdsCell()) return;
    KelValueCells::Cell* held = iCell;
    if (held->holders == 1) holdCell(held = cellsOf(this).ownFor(held));   // in place: cannot fail
    if (held->holders == 0) {
        held->value().deleteValue();
        return;
    }
    const KelStringBase* name = held->name;
    try {
        cellsOf(this).leave(held);
    } catch (...) {
        // No memory to note the cell as left: let it go as a holder does (others hold it still).
        cellsOf(this).give(held);
    }
    holdName(name);
}

KelValue& KelSyntaxElement::mutableStoredValue() {
    if (!holdsCell()) {
        if (inPool()) {
            holdCell(cellsOf(this).takeOwn(iCell->name));
        } else {
            auto* own = new KelValueCells::Cell();
            own->name = iCell->name;
            holdCell(own);
        }
    } else if (iCell->holders != 0) {
        holdCell(cellsOf(this).ownFor(iCell));
    }
    return iCell->value();
}

void KelSyntaxElement::renameSharedCell(const KelStringBase* name) {
    KelValueCells::Cell* own = cellsOf(this).ownFor(iCell);
    own->name = name;
    holdCell(own);
}

std::uint32_t KelSyntaxElement::nameHash(const KelStringBase& name) noexcept { return KelNameTable::hashOf(name); }

int KelSyntaxElement::resolvedType() {
    if (isUnresolved() && !resolveIdentity())
        kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelSyntaxElement::type", KelMsg::E_Kel_UnresolvedElement,
                                          describeParent());
    return typeCode();
}

const KelStringBase& KelSyntaxElement::resolvedName() {
    if (isUnresolved() && !resolveIdentity())
        kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelSyntaxElement::name", KelMsg::E_Kel_UnresolvedElement,
                                          describeParent());
    return storedName();
}

KelSyntaxElement* KelSyntaxElement::scannedFirstChild() {
    if (!isCompleteLeft())
        if (KelParser* owner = parser()) owner->parseFirstChild(this);
    return iFirstChild;
}

KelSyntaxElement* KelSyntaxElement::lastChild() {
    if (!isCompleteRight())
        if (KelParser* owner = parser()) owner->parseLastChild(this);
    return knownLastChild();
}

KelSyntaxElement* KelSyntaxElement::scannedNextSibling() {
    // The parent's parser scans the parent's children, whoever owns this element.
    if (iNextSibling || !iParent) return iNextSibling;
    KelSyntaxElement* up = iParent;
    if (!up->isCompleteRight()) {
        KelParser* scanner = KelSlotTable::headOf(up)->parser;   // a linked element is a pool's
        if (!scanner) scanner = parser();
        if (scanner) scanner->parseRightSibling(this);
    }
    return iNextSibling;
}

KelSyntaxElement* KelSyntaxElement::previousSibling() {
    if (KelParser* owner = parser()) owner->parseLeftSibling(this);
    return knownPreviousSibling();
}

void KelSyntaxElement::parserSetName(const KelStringBase& name) {
    parserSetInternedName(nameTable().intern(name));
}

KelNameTable& KelSyntaxElement::nameTable() const noexcept {
    KelParser* owner = parser();
    return owner ? owner->nameTable() : KelNameTable::shared();
}

void KelSyntaxElement::unlink() noexcept {
    // Every linked element has a parent (siblings are children of one), and the first child's
    // previous-sibling link names the last child.
    if (iParent) {
        KelSyntaxElement* first = iParent->iFirstChild;
        if (first == this) {
            iParent->iFirstChild = iNextSibling;
            if (iNextSibling) iNextSibling->iPreviousSibling = iPreviousSibling;   // still the last
        } else {
            iPreviousSibling->iNextSibling = iNextSibling;
            (iNextSibling ? iNextSibling.get() : first)->iPreviousSibling = iPreviousSibling;
        }
    }
    // A parent still being scanned that is left with no child known may have more to come: its
    // first child is then looked for again, not taken to be none.
    if (iParent && !iParent->iFirstChild && !iParent->isCompleteRight()) iParent->iTypeWord &= ~kCompleteLeft;
    iParent = iNextSibling = iPreviousSibling = nullptr;
}

namespace {
// An element may not be attached relative to itself or inside its own subtree: the tree would
// become a cycle that every walk follows for ever.
void checkAttachable(KelSyntaxElement* anchor, KelSyntaxElement* element, const char* function) {
    if (!element)
        kelThrow<KelRecoverableException>(nullptr, KEL_HERE, function, KelMsg::E_Kel_InvalidAttach, "null element");
    // Links name elements by their slots: an element made outside every pool cannot be linked.
    if (!element->inPool() || !anchor->inPool())
        kelThrow<KelRecoverableException>(nullptr, KEL_HERE, function, KelMsg::E_Kel_InvalidAttach,
                                          "an element not made by a parser cannot be linked");
    // Only an element with children can be an ancestor of the anchor: a leaf needs no walk.
    KelSyntaxElement* stop = element->knownFirstChild() ? nullptr : anchor->parent();
    for (KelSyntaxElement* e = anchor; e != stop; e = e->parent())
        if (e == element)
            kelThrow<KelRecoverableException>(nullptr, KEL_HERE, function, KelMsg::E_Kel_InvalidAttach,
                                              "the element would contain itself");
}

// A link between two parsers' elements: their releases must then look for elements that stand
// in another tree (see KelParser::releaseElementsBelowRoot).
void noteLink(KelSyntaxElement* parent, KelSyntaxElement* element) noexcept {
    if (parent->parser() == element->parser()) return;
    if (parent->parser()) parent->parser()->noteForeignLink();
    if (element->parser()) element->parser()->noteForeignLink();
}
} // namespace

void KelSyntaxElement::attachBefore(KelSyntaxElement* element) {
    checkAttachable(this, element, "KelSyntaxElement::attachBefore");
    if (!iParent)
        kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelSyntaxElement::attachBefore",
                                          KelMsg::E_Kel_InvalidAttach, "no parent");
    if (element->iParent && !element->isCompleteRight()) element->lastChild();
    noteLink(iParent, element);
    element->unlink();
    element->iParent = iParent;
    element->iNextSibling = this;
    element->iPreviousSibling = iPreviousSibling;   // for a new first child: the last child
    if (iParent->iFirstChild.get() == this)
        iParent->iFirstChild = element;
    else
        iPreviousSibling->iNextSibling = element;
    iPreviousSibling = element;
}

void KelSyntaxElement::attachAfter(KelSyntaxElement* element) {
    checkAttachable(this, element, "KelSyntaxElement::attachAfter");
    if (!iParent)
        kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelSyntaxElement::attachAfter",
                                          KelMsg::E_Kel_InvalidAttach, "no parent");
    if (element->iParent && !element->isCompleteRight()) element->lastChild();
    noteLink(iParent, element);
    element->unlink();
    element->iParent = iParent;
    element->iPreviousSibling = this;
    element->iNextSibling = iNextSibling;
    // The element before which it goes, or for a new last child the first child, names it.
    (iNextSibling ? iNextSibling.get() : iParent->iFirstChild.get())->iPreviousSibling = element;
    iNextSibling = element;
}

void KelSyntaxElement::attachAsFirstChild(KelSyntaxElement* element) {
    checkAttachable(this, element, "KelSyntaxElement::attachAsFirstChild");
    if (element->iParent && !element->isCompleteRight()) element->lastChild();
    firstChild(); // the first child must be known before another goes in front of it
    noteLink(this, element);
    element->unlink();
    element->iParent = this;
    element->iNextSibling = iFirstChild;
    if (iFirstChild) {
        element->iPreviousSibling = iFirstChild->iPreviousSibling;   // the last child
        iFirstChild->iPreviousSibling = element;
    } else {
        element->iPreviousSibling = element;
    }
    iFirstChild = element;
    setCompleteLeft();
}

void KelSyntaxElement::attachAsLastChild(KelSyntaxElement* element) {
    checkAttachable(this, element, "KelSyntaxElement::attachAsLastChild");
    if (element->iParent && !element->isCompleteRight()) element->lastChild();
    lastChild(); // scan to the end first, so scanned children cannot land after the new one
    noteLink(this, element);
    element->unlink();
    parserAttachAsLastChild(element);
    setCompleteLeft();
}

void KelSyntaxElement::detach() {
    // A detached element is taken whole: its content is scanned first, so the scan never goes on
    // filling an element that has left the tree.
    if (!isCompleteRight()) lastChild();
    unlink();
}

void KelSyntaxElement::detachChildren() {
    lastChild();
    while (iFirstChild) iFirstChild->unlink();
}

KelSyntaxElement* KelSyntaxElement::newElementOfSameParser() {
    KelParser* owner = parser();
    if (!owner)
        kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelSyntaxElement::create", KelMsg::E_Kel_InvalidAttach,
                                          "the element has no parser to create elements");
    return owner->elementPool().createElement();
}

namespace {
KelSyntaxElement* createParsed(KelSyntaxElement* self, const KelStringBase& parserClassName, const KelMessage* message,
                               const KelBuffer& bitStream, const KelStringBase& set, const KelStringBase& type,
                               const KelStringBase& format, int encoding, int ccsid) {
    KelMessageGroup* group = self->parser() ? self->parser()->messageGroup() : nullptr;
    if (!group)
        kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelSyntaxElement::create",
                                          KelMsg::E_Kel_UnknownParserClass, parserClassName);
    KelParser* p = group->createParser(parserClassName);
    p->refreshElementsFromBitStream(message, bitStream, encoding, ccsid, set, type, format);
    return p->rootElement();
}
} // namespace

KelSyntaxElement* KelSyntaxElement::createBefore(const KelStringBase& parserClassName, const KelMessage* message,
                                                 const std::string& bytes, const KelStringBase& messageSet,
                                                 const KelStringBase& messageType, const KelStringBase& messageFormat,
                                                 int encoding, int ccsid) {
    KelSyntaxElement* e = createParsed(this, parserClassName, message, KelBuffer::fromString(bytes), messageSet,
                                       messageType, messageFormat, encoding, ccsid);
    attachBefore(e);
    return e;
}
KelSyntaxElement* KelSyntaxElement::createBefore(const KelStringBase& name) {
    KelSyntaxElement* e = newElementOfSameParser();
    e->parserSetName(name);
    attachBefore(e);
    return e;
}
KelSyntaxElement* KelSyntaxElement::createBefore() { return createBefore(KelStringBase()); }

KelSyntaxElement* KelSyntaxElement::createAfter(const KelStringBase& parserClassName, const KelMessage* message,
                                                const std::string& bytes, const KelStringBase& messageSet,
                                                const KelStringBase& messageType, const KelStringBase& messageFormat,
                                                int encoding, int ccsid) {
    KelSyntaxElement* e = createParsed(this, parserClassName, message, KelBuffer::fromString(bytes), messageSet,
                                       messageType, messageFormat, encoding, ccsid);
    attachAfter(e);
    return e;
}
KelSyntaxElement* KelSyntaxElement::createAfter(const KelStringBase& name) {
    KelSyntaxElement* e = newElementOfSameParser();
    e->parserSetName(name);
    attachAfter(e);
    return e;
}
KelSyntaxElement* KelSyntaxElement::createAfter() { return createAfter(KelStringBase()); }

KelSyntaxElement* KelSyntaxElement::createFirstChild(const KelStringBase& parserClassName, const KelMessage* message,
                                                     const std::string& bytes, const KelStringBase& messageSet,
                                                     const KelStringBase& messageType,
                                                     const KelStringBase& messageFormat, int encoding, int ccsid) {
    KelSyntaxElement* e = createParsed(this, parserClassName, message, KelBuffer::fromString(bytes), messageSet,
                                       messageType, messageFormat, encoding, ccsid);
    attachAsFirstChild(e);
    return e;
}
KelSyntaxElement* KelSyntaxElement::createFirstChild(const KelStringBase& name) {
    KelSyntaxElement* e = newElementOfSameParser();
    e->parserSetName(name);
    attachAsFirstChild(e);
    return e;
}
KelSyntaxElement* KelSyntaxElement::createFirstChild() { return createFirstChild(KelStringBase()); }

KelSyntaxElement* KelSyntaxElement::createLastChild(const KelStringBase& parserClassName, const KelMessage* message,
                                                    const std::string& bytes, const KelStringBase& messageSet,
                                                    const KelStringBase& messageType,
                                                    const KelStringBase& messageFormat, int encoding, int ccsid) {
    KelSyntaxElement* e = createParsed(this, parserClassName, message, KelBuffer::fromString(bytes), messageSet,
                                       messageType, messageFormat, encoding, ccsid);
    attachAsLastChild(e);
    return e;
}
KelSyntaxElement* KelSyntaxElement::createLastChild(const KelStringBase& parserClassName, const KelMessage* message,
                                                    const KelBuffer& bitStream, int encoding, int ccsid) {
    KelSyntaxElement* e = createParsed(this, parserClassName, message, bitStream, KelStringBase(), KelStringBase(),
                                       KelStringBase(), encoding, ccsid);
    attachAsLastChild(e);
    return e;
}
KelSyntaxElement* KelSyntaxElement::createLastChild(const KelStringBase& name) {
    KelSyntaxElement* e = newElementOfSameParser();
    e->parserSetName(name);
    attachAsLastChild(e);
    return e;
}
KelSyntaxElement* KelSyntaxElement::createLastChild() { return createLastChild(KelStringBase()); }

void KelSyntaxElement::initialize() {
    resetStoredValue();
    parserSetInternedName(&KelNameTable::empty());   // an own cell is kept: it takes the name
    iTypeWord = kComplete | (iTypeWord & kInPool);
}

void KelSyntaxElement::setType(int typeCode) { parserSetType(typeCode); }
void KelSyntaxElement::setName(const KelStringBase& name) { parserSetName(name); }
void KelSyntaxElement::setValue(const KelGmtTimeStamp& value) { mutableStoredValue().setValue(value); }
void KelSyntaxElement::setValue(const KelGmtTime& value) { mutableStoredValue().setValue(value); }
void KelSyntaxElement::setValue(const KelTimeStamp& value) { mutableStoredValue().setValue(value); }
void KelSyntaxElement::setValue(const KelTime& value) { mutableStoredValue().setValue(value); }
void KelSyntaxElement::setValue(const KelDate& value) { mutableStoredValue().setValue(value); }
void KelSyntaxElement::setValue(const KelStringBase& value) { mutableStoredValue().setValue(value); }
void KelSyntaxElement::setValue(double value) { mutableStoredValue().setValue(value); }
void KelSyntaxElement::setValue(std::int64_t value) { mutableStoredValue().setValue(value); }
void KelSyntaxElement::setValue(int value) { mutableStoredValue().setValue(value); }
void KelSyntaxElement::setValue(bool value) { mutableStoredValue().setValue(value); }
void KelSyntaxElement::setValue(const KelValue& value) { mutableStoredValue().setValue(value); }
const KelValue& KelSyntaxElement::value() { return storedValue(); }

void KelSyntaxElement::copyInner(KelSyntaxElement* source, bool deep) {
    // Copies children iteratively: documents can nest far deeper than the stack allows.
    if (!deep) return;
    // A copy into the source's own subtree copies that subtree as it stood: the children this
    // element gains here are not copied again, or the copy would go on for ever (and take all
    // the memory there is).
    bool inside = false;
    for (KelSyntaxElement* e = iParent; e != nullptr && !inside; e = e->iParent) inside = e == source;
    KelSyntaxElement* lastBefore = inside ? lastChild() : nullptr;
    std::vector<std::pair<KelSyntaxElement*, KelSyntaxElement*>> work{{source, this}};
    while (!work.empty()) {
        auto [from, to] = work.back();
        work.pop_back();
        const bool asItStood = inside && from == this;
        KelSyntaxElement* first = asItStood && lastBefore == nullptr ? nullptr : from->firstChild();
        for (KelSyntaxElement* c = first; c; c = asItStood && c == lastBefore ? nullptr : c->nextSibling()) {
            KelSyntaxElement* n = to->newElementOfSameParser();
            n->copy(c, false, false, true);
            to->parserAttachAsLastChild(n);
            work.emplace_back(c, n);
        }
        to->setTypeWord(to->typeWord() | kComplete);
    }
}

void KelSyntaxElement::copy(KelSyntaxElement* source, bool deep, bool keepName, bool sameText) {
    (void)sameText;
    if (!source || source == this) return;
    // A deep copy reads the whole source: it is scanned to its end before anything here changes,
    // so that an error in it refuses the copy rather than leave this element half copied. This
    // element is scanned to its end too: the copied children follow its own, which a scan still
    // to come would otherwise put after them.
    if (deep && !source->isCompleteRight()) source->lastChild();
    if (deep && !isCompleteRight()) lastChild();
    // The children first: when this element lies inside the source, the copy holds it as it
    // stood, under its own type, name and value, not as what it is about to become.
    copyInner(source, deep);
    parserSetType(source->type());
    if (!keepName) parserSetName(source->name());
    const KelValue& value = source->actualValue();
    if (value.isNull()) resetStoredValue();
    else mutableStoredValue().copyValue(value);
}

int KelSyntaxElement::compareInner(KelSyntaxElement* other) {
    if (typeCode() != other->typeCode()) return typeCode() < other->typeCode() ? -1 : 1;
    if (int c = storedName().compare(other->storedName())) return c;
    const KelValue& mine = storedValue();
    const KelValue& theirs = other->storedValue();
    if (mine != theirs) return mine.valueAsCharacter().compare(theirs.valueAsCharacter()) < 0 ? -1 : 1;
    return 0;
}

int KelSyntaxElement::compare(KelSyntaxElement* other) {
    if (!other) return 1;
    // Compares the two subtrees in document order, iteratively.
    std::vector<std::pair<KelSyntaxElement*, KelSyntaxElement*>> work{{this, other}};
    while (!work.empty()) {
        auto [a, b] = work.back();
        work.pop_back();
        if (int c = a->compareInner(b)) return c;
        KelSyntaxElement* ca = a->firstChild();
        KelSyntaxElement* cb = b->firstChild();
        std::vector<std::pair<KelSyntaxElement*, KelSyntaxElement*>> level;
        for (; ca && cb; ca = ca->nextSibling(), cb = cb->nextSibling()) level.emplace_back(ca, cb);
        if (ca || cb) return ca ? 1 : -1;
        work.insert(work.end(), level.rbegin(), level.rend());
    }
    return 0;
}

void KelSyntaxElement::setActualValue(const char16_t* text) {
    mutableStoredValue().setCharacters(text, text != nullptr ? std::char_traits<char16_t>::length(text) : 0);
}
void KelSyntaxElement::setActualValue(const unsigned char* bytes, std::size_t length) { mutableStoredValue().setBytes(bytes, length); }
void KelSyntaxElement::setActualValue(const char16_t* text, std::size_t length) { mutableStoredValue().setCharacters(text, length); }
void KelSyntaxElement::setActualValue(const KelGmtTimeStamp& value) { mutableStoredValue().setValue(value); }
void KelSyntaxElement::setActualValue(const KelGmtTime& value) { mutableStoredValue().setValue(value); }
void KelSyntaxElement::setActualValue(const KelTimeStamp& value) { mutableStoredValue().setValue(value); }
void KelSyntaxElement::setActualValue(const KelTime& value) { mutableStoredValue().setValue(value); }
void KelSyntaxElement::setActualValue(const KelDate& value) { mutableStoredValue().setValue(value); }
void KelSyntaxElement::setActualValue(const KelStringBase& value) { mutableStoredValue().setValue(value); }
void KelSyntaxElement::setActualValue(double value) { mutableStoredValue().setValue(value); }
void KelSyntaxElement::setActualValue(std::int64_t value) { mutableStoredValue().setValue(value); }
void KelSyntaxElement::setActualValue(int value) { mutableStoredValue().setValue(value); }
void KelSyntaxElement::setActualValue(bool value) { mutableStoredValue().setValue(value); }
void KelSyntaxElement::setActualValue(const KelValue& value) { mutableStoredValue().setValue(value); }
const KelValue& KelSyntaxElement::actualValue() const { return storedValue(); }
void KelSyntaxElement::reset() { resetStoredValue(); }

std::string KelSyntaxElement::asLogString() {
    char head[48];
    std::snprintf(head, sizeof head, "(0x%08X)", static_cast<unsigned>(typeWord()));
    std::string s = head;
    s += storedName().toUtf8();
    if (!storedValue().isNull()) {
        s += " = '";
        s += storedValue().valueAsCharacter().toUtf8();
        s += '\'';
    }
    return s;
}

void KelSyntaxElement::logTreeAsStringInner(std::string& out, int depth) {
    // Logs what is known without scanning further: logging must not change the tree.
    std::vector<std::pair<KelSyntaxElement*, int>> work{{this, depth}};
    while (!work.empty()) {
        auto [e, d] = work.back();
        work.pop_back();
        // Indentation stops growing at a fixed depth, so a deep tree logs in linear space.
        out.append(static_cast<std::size_t>(d < 32 ? d : 32) * 2, ' ');
        if (d > 32) out += "(depth " + std::to_string(d) + ") ";
        out += e->asLogString();
        out += '\n';
        std::vector<std::pair<KelSyntaxElement*, int>> kids;
        for (KelSyntaxElement* c = e->iFirstChild; c; c = c->iNextSibling) kids.emplace_back(c, d + 1);
        work.insert(work.end(), kids.rbegin(), kids.rend());
    }
}

std::string KelSyntaxElement::logTreeAsString() {
    std::string out;
    logTreeAsStringInner(out, 0);
    return out;
}

bool KelSyntaxElement::resolveIdentity(int type, int namespaceId, const KelStringBase& name) {
    (void)namespaceId;
    return resolveIdentity(type, name);
}
bool KelSyntaxElement::resolveIdentity(int type, const KelStringBase& name) {
    parserSetType(type);
    parserSetName(name);
    setUnresolved(false);
    return true;
}
bool KelSyntaxElement::resolveIdentity(int type) {
    parserSetType(type);
    setUnresolved(false);
    return true;
}
bool KelSyntaxElement::resolveIdentity() { return !isUnresolved(); }

const KelValue& KelSyntaxElement::valueForCopy(bool& complete) {
    complete = true;
    return storedValue();
}

void KelSyntaxElement::copyElement(KelSyntaxElement* source) { (void)source; }

std::string KelSyntaxElement::describeIndex() {
    int index = 1;
    for (KelSyntaxElement* p = knownPreviousSibling(); p; p = p->knownPreviousSibling())
        if (p->storedName() == storedName()) ++index;
    return "[" + std::to_string(index) + "]";
}

std::string KelSyntaxElement::describeParent() {
    std::vector<std::string> names;
    for (KelSyntaxElement* e = this; e; e = e->iParent) names.push_back(e->storedName().toUtf8() + e->describeIndex());
    std::string path;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        if (!path.empty()) path += '.';
        path += *it;
    }
    return path;
}

void KelSyntaxElement::deleteElement() { KelElementDeleter::deleteSubtree(this); }

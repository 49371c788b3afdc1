#include "parser/XmlKelSyntaxElement.hpp"

#include "host/KelParser.hpp"
#include "host/KelSyntaxElementAccess.hpp"
#include "common/XmlElementType.hpp"
#include "parser/XmlKelParser.hpp"

#include <atomic>
#include <vector>

namespace {
bool isContainerCode(int code) { return (code & kXmlNameBit) && !(code & kXmlValueBit); }
bool isContentCode(int code) { return (code & kXmlValueBit) && !(code & kXmlNameBit); }
bool isEntityMark(int code) { return code == XmlTypeEntityReferenceStart || code == XmlTypeEntityReferenceEnd; }

int codeOf(int type) { return static_cast<int>(static_cast<std::uint32_t>(type) & KelSyntaxElement::kTypeMask); }

bool isXmlGroupName(const KelStringBase& name) {
    return name.length() == 3 && name[0] == u'x' && name[1] == u'm' && name[2] == u'l';
}
} // namespace

static_assert(sizeof(XmlKelSyntaxElement) == sizeof(KelSyntaxElement) + 16,
              "a span, its start tag, page and flags: 16 bytes a slot beyond the host element");
static_assert(sizeof(XmlKelSyntaxElement) == 56, "every element of a fully walked document costs one 56-byte slot");


XmlKelSyntaxElement::~XmlKelSyntaxElement() = default;

bool XmlKelSyntaxElement::isXmlDomainElement(const KelSyntaxElement* element, const KelParser* self) noexcept {
    if (!element || !element->parser()) return false;
    if (element->parser() == self) return true;
    return isXmlGroupName(element->parser()->parserGroupName());
}

bool XmlKelSyntaxElement::isXmlKelSyntaxElement(KelSyntaxElement* element) const noexcept {
    return isXmlDomainElement(element, parser());
}

static bool isAttributeCode(KelSyntaxElement* element) {
    return element != nullptr && (element->type() & kXmlClassMask) == (XmlTypeAttribute & kXmlClassMask);
}

void XmlKelSyntaxElement::forgetSpan() noexcept {
    setFlag(kAsParsed, false);
    iBufferStart = nullptr;
    setSpanLength(kNoEnd);
    iStartTag = 0;
}

namespace {
// Process-wide, not per thread: this library is loaded as a plug-in, and a thread-local variable
// of a library opened at run time is one the leak checker's scan of threads cannot follow.
std::atomic<std::size_t> gElementsMarked{0};
}

std::size_t XmlKelSyntaxElement::elementsMarked() noexcept { return gElementsMarked.load(std::memory_order_relaxed); }

void XmlKelSyntaxElement::setElementChanged(KelSyntaxElement* start, bool startTagChanged) noexcept {
    for (KelSyntaxElement* e = start; e; e = e->parent()) {
        if (!e->parser() || !isXmlKelSyntaxElement(e)) return;
        // Every parser of the xml group builds XmlKelSyntaxElement objects; anything else ends the walk.
        auto* xml = dynamic_cast<XmlKelSyntaxElement*>(e);
        if (!xml) return;
        gElementsMarked.fetch_add(1, std::memory_order_relaxed);
        const std::uint32_t tag = xml->iStartTag & ~kChangeFlags;
        // An element still open in the scan knows its start tag; its end comes with its end tag.
        const bool open = xml->iBufferStart != nullptr && xml->bufferEnd() == nullptr && tag > 0;
        const std::int64_t tagBytes = tag;
        const bool tagKnown = open || (xml->spanPointersKept() && tag > 0 && tagBytes <= xml->spanLength());
        // An end tag too: the start tag is not the whole span.
        const bool tagsKnown = tagKnown && (open || tagBytes < xml->spanLength());
        if (e == start && startTagChanged && tagKnown) {
            xml->iStartTag |= kChangeFlags;
        } else if (tagsKnown) {
            // Marked before, and its ancestors with it, then or when it moved under them; nothing
            // gives an ancestor back a span of its own. Going on would make a walk that deletes
            // what it passed take time in the square of the document's depth.
            if ((xml->iStartTag & kContentChanged) != 0) return;
            xml->iStartTag |= kContentChanged;
        } else {
            // No span to keep (made by a user, read from an entity's text, or forgotten): written
            // anew whatever happens below it. Its ancestors were marked when it was passed before,
            // as above; every change below a chain of such elements (a tree a host builds, a deep
            // entity) walking to the top made the edits take time in the square of the depth.
            xml->forgetSpan();
            if ((xml->iFlags & kAncestorsMarked) != 0) return;
            xml->setFlag(kAncestorsMarked, true);
        }
    }
}

void XmlKelSyntaxElement::markMovedFrom(KelSyntaxElement* origin) noexcept {
    // A part that leaves a message without namespace declarations relied on none there: whatever
    // prefixes it uses mean no less where it goes. One question of the parser, not a walk of the
    // place it leaves, so a walk that deletes what it passed stays linear.
    auto* from = origin != nullptr ? dynamic_cast<XmlKelParser*>(origin->parser()) : nullptr;
    if (from != nullptr && from->declaresNamespaces()) setFlag(kMoved, true);
}

void XmlKelSyntaxElement::forgetOrigin(KelSyntaxElement* moved, KelSyntaxElement* origin) noexcept {
    // A moved attribute no longer stands where it was read, even in the same tag. Called after
    // the move: a move that was refused leaves the element as it was, copied from its source.
    if (moved != nullptr && moved->parser() != nullptr && isXmlKelSyntaxElement(moved))
        if (auto* xml = dynamic_cast<XmlKelSyntaxElement*>(moved)) {
            xml->setFlag(kAsParsed, false);
            xml->markMovedFrom(origin);
        }
}

bool XmlKelSyntaxElement::markSelfAndAncestors() noexcept {
    if (!parser()) return false;
    forgetSpan();
    setElementChanged(parent(), isAttributeCode(this));
    return true;
}

void XmlKelSyntaxElement::initialize() {
    // An element in a tree that starts over is a change of that tree.
    if (parser()) setElementChanged(parent(), isAttributeCode(this));
    KelSyntaxElement::initialize();
    setFlag(kDoubleQuoted, true);
    setFlag(kBigEndian, true);
    setFlag(kLacksReference, false);
    setFlag(kMoved, false);
    setFlag(kRenamed, false);
    setFlag(kAncestorsMarked, false);
    iBufferCodepage = 0;
    forgetSpan();
}

void XmlKelSyntaxElement::setType(int typeCode) {
    markSelfAndAncestors();
    KelSyntaxElement::setType(typeCode);
    // Made an attribute: the parent's start tag changed too.
    if (parser() && isAttributeCode(this)) setElementChanged(parent(), true);
}

void XmlKelSyntaxElement::setName(const KelStringBase& name) {
    markSelfAndAncestors();
    auto* owner = dynamic_cast<XmlKelParser*>(parser());
    static const KelStringBase xmlns(u"xmlns");
    if (owner != nullptr && name.startsWith(xmlns) && (name.length() == 5 || name[5] == u':'))
        owner->noteNamespaceDeclaration();
    KelSyntaxElement::setName(name);
    // Where the message's names rely on declarations, a new prefix must find one where the
    // element stands.
    if (owner != nullptr && owner->messageDeclaresNamespaces()) setFlag(kRenamed, true);
}

template <class T>
void XmlKelSyntaxElement::setValueOf(const T& value) {
    if (!parser()) {
        KelSyntaxElement::setValue(value);
        return;
    }
    // A container's value is the text of its content: it goes on a content child, and the
    // container's own tags stay as they were.
    if (isContainerCode(typeCode())) {
        setElementChanged(this, false);
        createValueElement()->setValue(value);
        return;
    }
    markSelfAndAncestors();
    setFlag(kLacksReference, false);
    KelSyntaxElement::setValue(value);
}

void XmlKelSyntaxElement::setValue(const KelGmtTimeStamp& value) { setValueOf(value); }
void XmlKelSyntaxElement::setValue(const KelGmtTime& value) { setValueOf(value); }
void XmlKelSyntaxElement::setValue(const KelTimeStamp& value) { setValueOf(value); }
void XmlKelSyntaxElement::setValue(const KelTime& value) { setValueOf(value); }
void XmlKelSyntaxElement::setValue(const KelDate& value) { setValueOf(value); }
void XmlKelSyntaxElement::setValue(const KelStringBase& value) { setValueOf(value); }
void XmlKelSyntaxElement::setValue(double value) { setValueOf(value); }
void XmlKelSyntaxElement::setValue(std::int64_t value) { setValueOf(value); }
void XmlKelSyntaxElement::setValue(int value) { setValueOf(value); }
void XmlKelSyntaxElement::setValue(bool value) { setValueOf(value); }
void XmlKelSyntaxElement::setValue(const KelValue& value) { setValueOf(value); }

#define XML_MARKED_ACTUAL_VALUE(Parameters, Arguments)                                           \
    void XmlKelSyntaxElement::setActualValue Parameters {                                       \
        markSelfAndAncestors();                                                                     \
        setFlag(kLacksReference, false);                                                            \
        KelSyntaxElement::setActualValue Arguments;                                             \
    }
XML_MARKED_ACTUAL_VALUE((const char16_t* text), (text))
XML_MARKED_ACTUAL_VALUE((const unsigned char* bytes, std::size_t length), (bytes, length))
XML_MARKED_ACTUAL_VALUE((const char16_t* text, std::size_t length), (text, length))
XML_MARKED_ACTUAL_VALUE((const KelGmtTimeStamp& value), (value))
XML_MARKED_ACTUAL_VALUE((const KelGmtTime& value), (value))
XML_MARKED_ACTUAL_VALUE((const KelTimeStamp& value), (value))
XML_MARKED_ACTUAL_VALUE((const KelTime& value), (value))
XML_MARKED_ACTUAL_VALUE((const KelDate& value), (value))
XML_MARKED_ACTUAL_VALUE((const KelStringBase& value), (value))
XML_MARKED_ACTUAL_VALUE((double value), (value))
XML_MARKED_ACTUAL_VALUE((std::int64_t value), (value))
XML_MARKED_ACTUAL_VALUE((int value), (value))
XML_MARKED_ACTUAL_VALUE((bool value), (value))
XML_MARKED_ACTUAL_VALUE((const KelValue& value), (value))
#undef XML_MARKED_ACTUAL_VALUE

void XmlKelSyntaxElement::reset() {
    markSelfAndAncestors();
    setFlag(kLacksReference, false);
    KelSyntaxElement::reset();
}

bool XmlKelSyntaxElement::resolveIdentity(int type, const KelStringBase& name) {
    const bool changed = !isUnresolved() && (codeOf(type) != typeCode() || name != storedName());
    if (changed) markSelfAndAncestors();
    const bool result = KelSyntaxElement::resolveIdentity(type, name);
    if (changed && parser() && isAttributeCode(this)) setElementChanged(parent(), true);
    return result;
}

bool XmlKelSyntaxElement::resolveIdentity(int type) {
    const bool changed = !isUnresolved() && codeOf(type) != typeCode();
    if (changed) markSelfAndAncestors();
    const bool result = KelSyntaxElement::resolveIdentity(type);
    if (changed && parser() && isAttributeCode(this)) setElementChanged(parent(), true);
    return result;
}

KelSyntaxElement* XmlKelSyntaxElement::createValueElement() {
    KelSyntaxElement* carrier = nullptr;
    KelSyntaxElement* child = firstChild();
    while (child) {
        KelSyntaxElement* next = child->nextSibling();
        int code = child->type();
        if (isContentCode(code)) {
            // Entity reference marks never carry the new value and do not survive it: a value
            // placed on a mark would be written as a reference to an entity of that name, and a
            // lone mark would silence the rest of the element on output.
            if (isEntityMark(code) || carrier)
                child->detach();
            else
                carrier = child;
        }
        child = next;
    }
    if (!carrier) {
        carrier = createLastChild();
        // A new element has no type; as the value's carrier it must be written as content.
        KelSyntaxElementAccess::parserSetType(carrier, XmlTypeContent);
    }
    return carrier;
}

const KelValue& XmlKelSyntaxElement::value() {
    int code = typeCode();
    if (code & kXmlValueBit) return storedValue();
    if (!(code & kXmlNameBit)) {
        resetStoredValue();
        return storedValue();
    }
    KelStringBase text;
    for (KelSyntaxElement* child = firstChild(); child; child = child->nextSibling()) {
        int childCode = child->type();
        if (isContentCode(childCode) && !isEntityMark(childCode))
            text.append(child->actualValue().valueAsCharacter());
    }
    mutableStoredValue().setValue(text);
    return storedValue();
}

const KelValue& XmlKelSyntaxElement::valueForCopy(bool& complete) {
    int code = typeCode();
    if (code & kXmlValueBit) {
        complete = true;
        return storedValue();
    }
    if (!(code & kXmlNameBit)) {
        resetStoredValue();
        complete = false;
        return storedValue();
    }
    KelStringBase text;
    bool sawElement = false;
    for (KelSyntaxElement* child = firstChild(); child; child = child->nextSibling()) {
        int childCode = child->type();
        if (childCode & kXmlMarkupBit) continue;
        if (isContainerCode(childCode))
            sawElement = true;
        else if (isContentCode(childCode))
            text.append(child->actualValue().valueAsCharacter());
    }
    mutableStoredValue().setValue(text);
    complete = !sawElement;
    return storedValue();
}

XmlKelSyntaxElement* XmlKelSyntaxElement::findChildElement(int type) {
    for (KelSyntaxElement* child = firstChild(); child; child = child->nextSibling())
        if (child->type() == type) return dynamic_cast<XmlKelSyntaxElement*>(child);
    return nullptr;
}

// An element that is moved leaves a list of children behind: its former parent and that parent's
// ancestors must be written anew too, or the output still holds it where it was.
// A parent's start tag changes when an attribute comes or goes; any other child changes only what
// lies between its tags.
void XmlKelSyntaxElement::attachBefore(KelSyntaxElement* element) {
    KelSyntaxElement* formerParent = element ? element->parent() : nullptr;
    const bool attribute = isAttributeCode(this) || isAttributeCode(element);
    KelSyntaxElement::attachBefore(element);
    forgetOrigin(element, formerParent);
    setElementChanged(formerParent, attribute);
    if (parser()) setElementChanged(parent(), attribute);
}

void XmlKelSyntaxElement::attachAfter(KelSyntaxElement* element) {
    KelSyntaxElement* formerParent = element ? element->parent() : nullptr;
    const bool attribute = isAttributeCode(this) || isAttributeCode(element);
    KelSyntaxElement::attachAfter(element);
    forgetOrigin(element, formerParent);
    setElementChanged(formerParent, attribute);
    if (parser()) setElementChanged(parent(), attribute);
}

void XmlKelSyntaxElement::attachAsFirstChild(KelSyntaxElement* element) {
    KelSyntaxElement* formerParent = element ? element->parent() : nullptr;
    KelSyntaxElement::attachAsFirstChild(element);
    forgetOrigin(element, formerParent);
    setElementChanged(formerParent, isAttributeCode(element));
    if (parser()) setElementChanged(this, isAttributeCode(element));
}

void XmlKelSyntaxElement::attachAsLastChild(KelSyntaxElement* element) {
    KelSyntaxElement* formerParent = element ? element->parent() : nullptr;
    KelSyntaxElement::attachAsLastChild(element);
    forgetOrigin(element, formerParent);
    setElementChanged(formerParent, isAttributeCode(element));
    if (parser()) setElementChanged(this, isAttributeCode(element));
}

void XmlKelSyntaxElement::detach() {
    KelSyntaxElement* formerParent = parent();
    // The scan to the element's end may fail: then it stays where it was read, as it was.
    KelSyntaxElement::detach();
    setFlag(kAsParsed, false);
    if (formerParent != nullptr) markMovedFrom(formerParent);
    if (parser()) setElementChanged(formerParent, isAttributeCode(this));
}

void XmlKelSyntaxElement::detachChildren() {
    KelSyntaxElement::detachChildren();
    markSelfAndAncestors();
}

void XmlKelSyntaxElement::copy(KelSyntaxElement* source, bool deep, bool keepName, bool sameText) {
    // The span of an element that holds a value is that value's text: it survives only when the
    // copy left the value as it was.
    const bool holdsValue = (type() & kXmlValueBit) != 0;
    const bool wasAttribute = isAttributeCode(this);
    KelValue before;
    if (sameText && holdsValue) before = actualValue();
    KelSyntaxElement::copy(source, deep, keepName, sameText);
    bool keep = sameText && source && type() == source->type() && name() == source->name() &&
                (!holdsValue || actualValue() == before);
    if (!keep) {
        setFlag(kBigEndian, true);
        iBufferCodepage = 0;
        forgetSpan();
    }
    // A value copied without the text of a reference it held is still without it: within one
    // parser the copy takes the source text too, as copyElement does; from another parser, whose
    // bytes go with its next message, it keeps only the mark, and the writer refuses it.
    auto* from = source != this ? dynamic_cast<XmlKelSyntaxElement*>(source) : nullptr;
    const bool lacks = from != nullptr && from->valueLacksReference() && isAttributeCode(this);
    setFlag(kLacksReference, lacks);
    if (source && source != this) markMovedFrom(source);
    if (lacks && from->parser() == parser() && from->hasSpan()) {
        setFlag(kDoubleQuoted, from->isDoubleQuotedAttribute());
        setFlag(kBigEndian, from->getBufferBigEndian() != 0);
        iBufferCodepage = from->iBufferCodepage;
        setSpan(from->getBufferStart(), from->getBufferEnd());
        setFlag(kAsParsed, false);
    }
    // The ancestors' bytes hold what this element was before the copy: they are written anew, as
    // after any setter.
    if (source && source != this && parser()) setElementChanged(parent(), wasAttribute || isAttributeCode(this));
}

void XmlKelSyntaxElement::copyElement(KelSyntaxElement* source) {
    auto* xml = dynamic_cast<XmlKelSyntaxElement*>(source);
    if (!xml || xml == this) return;
    if (!xml->isCompleteRight() && xml->parser()) xml->parser()->parseLastChild(xml);
    setFlag(kDoubleQuoted, xml->isDoubleQuotedAttribute());
    setFlag(kAsParsed, false);   // a copy was never read from a start tag
    setFlag(kLacksReference, xml->valueLacksReference());
    markMovedFrom(xml);   // its bytes come from where the source stands
    setFlag(kBigEndian, xml->getBufferBigEndian() != 0);
    iBufferCodepage = xml->iBufferCodepage;
    // The span points into its parser's bitstream, which that parser lets go of with its next
    // message or when it goes, and clears the spans only of its own elements: bytes of another
    // parser would be read after they are freed. Within one parser the span is taken over.
    const bool sameBytes = xml->parser() == parser();
    iBufferStart = sameBytes ? xml->getBufferStart() : nullptr;
    setBufferEnd(sameBytes ? xml->getBufferEnd() : nullptr);
    setFlag(kAncestorsMarked, false);
    iStartTag = !sameBytes || xml->contentChanged() ? 0 : xml->iStartTag;
}

#include "host/KelParser.hpp"

#include "host/KelMessage.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelWriteBuffer.hpp"

#include <algorithm>
#include <cstdint>
#include <new>
#include <unordered_set>

namespace {
const KelStringBase& emptyString() {
    static const KelStringBase empty;
    return empty;
}
} // namespace

KelParser::KelParser(KelMessageGroup* group, int elementSize)
    : iGroup(group), iElementSize(elementSize), iPool(this, static_cast<std::size_t>(elementSize > 0 ? elementSize : 0)),
      iRootElement(nullptr), iEncoding(546), iCcsid(1208), iReuseBitStream(false) {}

KelParser::~KelParser() {
    // The pool goes with this parser: nothing in another tree may keep pointing into it.
    if (iForeignLinks) severForeignLinks();
}

void KelParser::initialize() {}

int KelParser::refreshElementsFromBitStream(KelParser* source) {
    if (!source) return 0;
    return refreshElementsFromBitStream(nullptr, source->iBitStream, source->iEncoding, source->iCcsid);
}

int KelParser::refreshElementsFromBitStream(const KelMessage*, const KelBuffer& bitStream, int encoding, int ccsid) {
    iBitStream = bitStream;
    iEncoding = encoding;
    iCcsid = ccsid;
    iLostElements = false;   // the tree that lost them is released for the new message
    return static_cast<int>(bitStream.length());
}

int KelParser::refreshElementsFromBitStream(const KelMessage* message, const KelBuffer& bitStream, int encoding, int ccsid,
                                            const KelStringBase& messageSet, const KelStringBase& messageType,
                                            const KelStringBase& messageFormat) {
    iProperties[MessageSet] = messageSet;
    iProperties[MessageType] = messageType;
    iProperties[MessageFormat] = messageFormat;
    return refreshElementsFromBitStream(message, bitStream, encoding, ccsid);
}

void KelParser::finalize() {}

int KelParser::refreshBitStreamFromElements(const KelMessage*, KelWriteBuffer* buffer, KelSyntaxElement*, int, int) {
    // A parser that cannot write gives back what it was given.
    long n = iBitStream.length() > 0 ? iBitStream.length() : 0;
    buffer->append(iBitStream.data(), n);
    return static_cast<int>(n);
}

int KelParser::refreshBitStreamFromElements(const KelMessage* message, KelWriteBuffer* buffer, KelSyntaxElement* element,
                                            int encoding, int ccsid, const KelStringBase&, const KelStringBase&,
                                            const KelStringBase&) {
    return refreshBitStreamFromElements(message, buffer, element, encoding, ccsid);
}

void KelParser::validate() {}

void KelParser::releaseElements() noexcept {
    if (iForeignLinks) severForeignLinks();
    iPool.release();
    iNames.trim(kNamesKeptAcrossReleases);
}

void KelParser::cutLooseForeignChildren(KelSyntaxElement* element) noexcept {
    for (KelSyntaxElement* c = element->iFirstChild; c;) {
        KelSyntaxElement* next = c->iNextSibling;
        if (c->parser() != this) c->iParent = c->iNextSibling = c->iPreviousSibling = nullptr;
        c = next;
    }
}

void KelParser::severForeignLinks() noexcept {
    iPool.forEachLive([this](KelSyntaxElement* e) {
        if (e->iParent && e->iParent->parser() != this) {
            // Every parser above loses what the host put in its tree: it says so when asked to write.
            for (KelSyntaxElement* up = e->iParent; up; up = up->iParent)
                if (up->parser() && up->parser() != this) up->parser()->iLostElements = true;
            e->unlink();
        }
        cutLooseForeignChildren(e);
    });
}

void KelParser::markSurvivors(KelSyntaxElement* top, const KelSyntaxElement* root) noexcept {
    // Depth first by the links, without a stack; other parsers' elements (and this parser's root)
    // bound the walk: this parser's elements below them are tops of their own.
    auto own = [this, root](KelSyntaxElement* e) {
        while (e && (e->parser() != this || e == root)) e = e->iNextSibling;
        return e;
    };
    KelSyntaxElement* e = top;
    for (;;) {
        e->markSurvivor();   // for the length of this release: it stands in another parser's tree
        if (KelSyntaxElement* down = own(e->iFirstChild)) {
            e = down;
            continue;
        }
        KelSyntaxElement* next = nullptr;
        while (e != top && !(next = own(e->iNextSibling))) e = e->iParent;
        if (e == top) return;
        e = next;
    }
}

bool KelParser::releaseOwnTree(KelSyntaxElement* root, const std::function<void(KelSyntaxElement*)>& survivor) {
    if (!iPool.holds(root)) return false;
    // Elements the host moved into another parser's tree stay, with this parser's elements below them.
    iPool.forEachLive([this, root](KelSyntaxElement* e) {
        if (e != root && e->iParent && e->iParent->parser() != this && !e->isSurvivor())
            markSurvivors(e, root);
    });
    // Other parsers' elements below what goes are cut loose: they outlive it in their own pools.
    iPool.forEachLive([this](KelSyntaxElement* e) {
        if (!e->isSurvivor()) cutLooseForeignChildren(e);
    });
    root->parserForgetChildren();
    iPool.releaseWhere([&survivor, root](KelSyntaxElement* e) {
        if (e->isSurvivor()) {
            e->clearSurvivor();
            if (survivor) survivor(e);
            return false;
        }
        return e != root;
    });
    return true;
}

void KelParser::releaseElementsBelowRoot(const std::function<void(KelSyntaxElement*)>& survivor) {
    KelSyntaxElement* root = iRootElement;
    // Without links across parsers every element of the pool after the root is this tree's or
    // was dropped from it: they all go at once.
    const bool released = root && (iForeignLinks ? releaseOwnTree(root, survivor) : iPool.releaseAllAfter(root));
    if (!released) {
        releaseElements();
        iRootElement = nullptr;
        return;
    }
    root->parserForgetChildren();
    // Only the root is left: the value cells elements left behind (kept for what their value()
    // gave) go, or a parser that takes message after message would pile them up.
    if (iPool.liveCount() == 1) iPool.valueCells().releaseLeft();
    if (iPool.liveCount() == 1 && iNames.size() > kNamesKeptAcrossReleases) {
        // The root's name lives in the table: keep a copy across the trim.
        KelStringBase name = root->storedName();
        root->parserSetInternedName(&KelNameTable::empty());
        iNames.trim(kNamesKeptAcrossReleases);
        root->parserSetName(name);
    } else if (iPool.liveCount() > 1 && iNames.size() > iNamesSweptAbove) {
        // Elements the host moved into another tree still point into the table, so it cannot be
        // cleared; without this, a parser that has such an element at every release would keep
        // every name of every message it ever took.
        forgetUnusedNames();
    }
}

void KelParser::forgetUnusedNames() noexcept {
    try {
        std::unordered_set<const KelStringBase*> used;
        iPool.forEachLive([&used](KelSyntaxElement* e) { used.insert(&e->storedName()); });
        iPool.valueCells().forEachKeptName([&used](const KelStringBase* name) { used.insert(name); });
        iNames.keepOnly([&used](const KelStringBase* name) { return used.count(name) != 0; });
    } catch (...) {
        return;   // no memory to find out: every name stays, as before
    }
    iNamesSweptAbove = std::max(kNamesKeptAcrossReleases, 2 * iNames.size());
}

void KelParser::reset(bool keepBitStream) {
    releaseElements();
    iRootElement = nullptr;
    if (!keepBitStream) {
        iBitStream = KelBuffer();
        iReuseBitStream = false;
    }
}

// A parser without a scanner knows all it will ever know: mark the element complete so the
// host's navigation does not ask again.
void KelParser::parseFirstChild(KelSyntaxElement* element) { element->setCompleteLeft(); }
void KelParser::parseLastChild(KelSyntaxElement* element) {
    element->setCompleteLeft();
    element->setCompleteRight();
}
void KelParser::parseRightSibling(KelSyntaxElement* element) {
    if (element->parent() && element->parent()->parser() == this) element->parent()->setCompleteRight();
}
void KelParser::parseLeftSibling(KelSyntaxElement*) {}

KelSyntaxElement* KelParser::rootElement() const { return iRootElement; }
const KelBuffer& KelParser::bitStream(const KelMessage*) const { return iBitStream; }
void KelParser::setParserDomainName(const KelStringBase& name) { iDomainName = name; }
bool KelParser::parserType() const { return false; }
const KelStringBase& KelParser::parserGroupName() const { return emptyString(); }
const KelStringBase& KelParser::parserDomainName() const { return iDomainName; }
const KelStringBase& KelParser::parserClassName() const { return emptyString(); }
void KelParser::setNextParserClassName(const KelStringBase& name, bool) { iNextParserClassName = name; }
const KelStringBase& KelParser::nextParserClassName() const { return iNextParserClassName; }
int KelParser::nextParserEncoding() const { return iEncoding; }
int KelParser::nextParserCodedCharSetId() const { return iCcsid; }

#define KEL_PROPERTY(Getter, Setter, Index)                                                   \
    const KelStringBase& KelParser::Getter() const { return iProperties[Index]; }            \
    void KelParser::Setter(const KelStringBase& value) { iProperties[Index] = value; }
KEL_PROPERTY(messageSetProperty, setMessageSetProperty, MessageSet)
KEL_PROPERTY(messageTypeProperty, setMessageTypeProperty, MessageType)
KEL_PROPERTY(messageFormatProperty, setMessageFormatProperty, MessageFormat)
KEL_PROPERTY(encodingProperty, setEncodingProperty, Encoding)
KEL_PROPERTY(codedCharSetIdProperty, setCodedCharSetIdProperty, CodedCharSetId)
KEL_PROPERTY(transactionalProperty, setTransactionalProperty, Transactional)
KEL_PROPERTY(persistenceProperty, setPersistenceProperty, Persistence)
KEL_PROPERTY(creationTimeProperty, setCreationTimeProperty, CreationTime)
KEL_PROPERTY(expirationTimeProperty, setExpirationTimeProperty, ExpirationTime)
KEL_PROPERTY(priorityProperty, setPriorityProperty, Priority)
KEL_PROPERTY(replyIdentifierProperty, setReplyIdentifierProperty, ReplyIdentifier)
KEL_PROPERTY(replyProtocolProperty, setReplyProtocolProperty, ReplyProtocol)
KEL_PROPERTY(topicProperty, setTopicProperty, Topic)
#undef KEL_PROPERTY

const KelStringBase& KelParser::parserMessageSetProperty() const { return iProperties[MessageSet]; }
const KelStringBase& KelParser::parserMessageTypeProperty() const { return iProperties[MessageType]; }
const KelStringBase& KelParser::parserMessageFormatProperty() const { return iProperties[MessageFormat]; }

void KelParser::callElementConstructor(void* storage) {
    if (storage) new (storage) KelSyntaxElement(this);
}

long KelParser::checkBitStream(const KelBuffer&, int, int) { return -1; }

bool KelParser::holdsElement(const KelSyntaxElement*) const { return false; }

void KelParser::parseAhead(KelSyntaxElement*, std::size_t) {}

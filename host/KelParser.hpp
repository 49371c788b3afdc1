// KelParser: the host's base class of a domain parser. It owns the element pool and the root
// element of its message part, and keeps the part's bitstream (by shared ownership when the
// KelBuffer owns its bytes, so spans into it stay valid without a copy), with the bitstream's
// encoding, ccsid and the host's reuse flag (true while the stored bitstream still stands for
// the whole tree). Derived parsers override the virtual operations; the order of the table of
// virtual operations is part of the host contract.
// Thread rules: a parser and its tree are used by one thread at a time.
#pragma once

#include "host/KelBuffer.hpp"
#include "host/KelNameTable.hpp"
#include "host/KelOwnedLogSource.hpp"
#include "host/KelStringBase.hpp"
#include "host/KelSyntaxElementPool.hpp"

#include <array>
#include <cstddef>
#include <functional>

class KelMessage;
class KelMessageGroup;
class KelSyntaxElement;
class KelWriteBuffer;

// Marker base for the host's message definitions (catalogue access); no members.
class KelMessageDefinitions {};

class KelParser : public KelOwnedLogSource, public KelMessageDefinitions {
public:
    enum Property {
        MessageSet, MessageType, MessageFormat, Encoding, CodedCharSetId, Transactional, Persistence,
        CreationTime, ExpirationTime, Priority, ReplyIdentifier, ReplyProtocol, Topic, PropertyCount
    };

    KelParser(KelMessageGroup* group, int elementSize);
    KelParser(const KelParser&) = delete;
    KelParser& operator=(const KelParser&) = delete;

    // ---- Virtual operations in table order (after those of KelOwnedLogSource).
    ~KelParser() override;
    virtual void initialize();
    virtual int refreshElementsFromBitStream(KelParser* source);
    virtual int refreshElementsFromBitStream(const KelMessage* message, const KelBuffer& bitStream, int encoding, int ccsid);
    virtual int refreshElementsFromBitStream(const KelMessage* message, const KelBuffer& bitStream, int encoding, int ccsid,
                                             const KelStringBase& messageSet, const KelStringBase& messageType,
                                             const KelStringBase& messageFormat);
    virtual void finalize();
    virtual int refreshBitStreamFromElements(const KelMessage* message, KelWriteBuffer* buffer, KelSyntaxElement* element,
                                             int encoding, int ccsid);
    virtual int refreshBitStreamFromElements(const KelMessage* message, KelWriteBuffer* buffer, KelSyntaxElement* element,
                                             int encoding, int ccsid, const KelStringBase& messageSet,
                                             const KelStringBase& messageType, const KelStringBase& messageFormat);
    virtual void validate();
    virtual void reset(bool keepBitStream);
    virtual void parseFirstChild(KelSyntaxElement* element);
    virtual void parseLastChild(KelSyntaxElement* element);
    virtual void parseRightSibling(KelSyntaxElement* element);
    virtual void parseLeftSibling(KelSyntaxElement* element);
    virtual KelSyntaxElement* rootElement() const;
    virtual const KelBuffer& bitStream(const KelMessage* message) const;
    virtual void setParserDomainName(const KelStringBase& name);
    virtual bool parserType() const;
    virtual const KelStringBase& parserGroupName() const;
    virtual const KelStringBase& parserDomainName() const;
    virtual const KelStringBase& parserClassName() const;
    virtual void setNextParserClassName(const KelStringBase& name, bool isDefault);
    virtual const KelStringBase& nextParserClassName() const;
    virtual int nextParserEncoding() const;
    virtual int nextParserCodedCharSetId() const;
    virtual const KelStringBase& messageSetProperty() const;
    virtual const KelStringBase& messageTypeProperty() const;
    virtual const KelStringBase& messageFormatProperty() const;
    virtual const KelStringBase& encodingProperty() const;
    virtual const KelStringBase& codedCharSetIdProperty() const;
    virtual const KelStringBase& transactionalProperty() const;
    virtual const KelStringBase& persistenceProperty() const;
    virtual const KelStringBase& creationTimeProperty() const;
    virtual const KelStringBase& expirationTimeProperty() const;
    virtual const KelStringBase& priorityProperty() const;
    virtual const KelStringBase& replyIdentifierProperty() const;
    virtual const KelStringBase& replyProtocolProperty() const;
    virtual const KelStringBase& topicProperty() const;
    virtual void setMessageSetProperty(const KelStringBase& value);
    virtual void setMessageTypeProperty(const KelStringBase& value);
    virtual void setMessageFormatProperty(const KelStringBase& value);
    virtual void setEncodingProperty(const KelStringBase& value);
    virtual void setCodedCharSetIdProperty(const KelStringBase& value);
    virtual void setTransactionalProperty(const KelStringBase& value);
    virtual void setPersistenceProperty(const KelStringBase& value);
    virtual void setCreationTimeProperty(const KelStringBase& value);
    virtual void setExpirationTimeProperty(const KelStringBase& value);
    virtual void setPriorityProperty(const KelStringBase& value);
    virtual void setReplyIdentifierProperty(const KelStringBase& value);
    virtual void setReplyProtocolProperty(const KelStringBase& value);
    virtual void setTopicProperty(const KelStringBase& value);
    virtual const KelStringBase& parserMessageSetProperty() const;
    virtual const KelStringBase& parserMessageTypeProperty() const;
    virtual const KelStringBase& parserMessageFormatProperty() const;
    // Builds one element of the parser's element class in `storage` (of elementSize bytes).
    virtual void callElementConstructor(void* storage);
    // Checks `bitStream` as a full parse would (same errors, same limits) without building a
    // tree; returns the number of elements the parse would build, the root included, or -1 when
    // this parser cannot check without building. Leaves this parser's tree alone.
    virtual long checkBitStream(const KelBuffer& bitStream, int encoding, int ccsid);
    // True while this parser may still build into `element` or below it (so it must not be
    // deleted), or still holds it for later use.
    virtual bool holdsElement(const KelSyntaxElement* element) const;
    // For a caller about to walk the whole of `element`'s subtree: builds ahead of the walk, at
    // most `steps` scanner steps and no further than the element's end, so that building runs
    // in one loop instead of one call per element walked. Raises nothing: a failure met on the
    // way is kept and raised by the navigation that reaches it, as without reading ahead. The
    // default builds nothing.
    virtual void parseAhead(KelSyntaxElement* element, std::size_t steps);

    // ---- Non-virtual host services.
    KelSyntaxElementPool& elementPool() noexcept { return iPool; }
    // The names of this parser's elements (each kept once).
    KelNameTable& nameTable() noexcept { return iNames; }
    // Destroys every element of this parser (the pool keeps their storage) and lets the name
    // table go once it has grown past kNamesKeptAcrossReleases. Elements of this parser that
    // stand in another parser's tree are taken out of it first (that tree then refuses to be
    // written: lostElements()), and other parsers' elements in this tree are cut loose.
    void releaseElements() noexcept;
    // Destroys the elements of this parser's own tree (and those detached from it that stand in
    // no tree) but the root, which keeps its place in whatever tree holds it, its type and its
    // name, and has no children afterwards. Elements of this parser that the host moved into
    // another parser's tree stay alive there (each is given to `survivor`, which may forget what
    // pointed into the old bitstream); other parsers' elements in this tree are cut loose, to
    // be freed with their own parser's next message. The root is null afterwards only when it
    // was not this parser's element.
    void releaseElementsBelowRoot(const std::function<void(KelSyntaxElement*)>& survivor = {});
    // Called when an element of this parser is linked to an element of another parser (or to
    // one without a parser): from then on releases look for elements standing across trees.
    void noteForeignLink() noexcept { iForeignLinks = true; }
    // True when a parser that went took its elements out of this parser's tree since its last
    // bitstream: the tree no longer holds what the host put in it.
    bool lostElements() const noexcept { return iLostElements; }
    static constexpr std::size_t kNamesKeptAcrossReleases = 4096;
    KelMessageGroup* messageGroup() const noexcept { return iGroup; }
    int elementSize() const noexcept { return iElementSize; }
    const KelBuffer& storedBitStream() const noexcept { return iBitStream; }
    int storedEncoding() const noexcept { return iEncoding; }
    int storedCcsid() const noexcept { return iCcsid; }
    // The host's reuse flag: the stored bitstream may be given back unchanged.
    bool reuseBitStream() const noexcept { return iReuseBitStream; }
    void setReuseBitStream(bool reuse) noexcept { iReuseBitStream = reuse; }

protected:
    void setRootElement(KelSyntaxElement* root) noexcept { iRootElement = root; }
    // rootElement() without the virtual call, for a parser that asks at every scan step.
    KelSyntaxElement* storedRootElement() const noexcept { return iRootElement; }

private:
    // Unlinks this parser's elements from other parsers' trees and cuts other parsers' elements
    // loose from this parser's, before every element goes.
    void severForeignLinks() noexcept;
    // The careful release of releaseElementsBelowRoot; false when `root` is not this parser's.
    bool releaseOwnTree(KelSyntaxElement* root, const std::function<void(KelSyntaxElement*)>& survivor);
    void markSurvivors(KelSyntaxElement* top, const KelSyntaxElement* root) noexcept;
    void cutLooseForeignChildren(KelSyntaxElement* element) noexcept;
    // Forgets the names no element or kept cell of this parser points at (after a release that
    // left elements alive in another tree, which the name table may not be cleared under).
    void forgetUnusedNames() noexcept;

    KelMessageGroup* iGroup;
    int iElementSize;
    KelNameTable iNames;          // before the pool: outlives every element naming into it
    KelSyntaxElementPool iPool;
    KelSyntaxElement* iRootElement;
    KelBuffer iBitStream;
    int iEncoding;
    int iCcsid;
    bool iReuseBitStream;
    bool iForeignLinks = false;   // an element of this parser was ever linked across parsers
    bool iLostElements = false;   // see lostElements()
    // Names the table may hold after a release that left elements alive before it forgets the
    // unused ones: twice what it kept last time, so names still in use are not swept each message.
    std::size_t iNamesSweptAbove = kNamesKeptAcrossReleases;
    KelStringBase iDomainName;
    KelStringBase iNextParserClassName;
    std::array<KelStringBase, PropertyCount> iProperties;
};

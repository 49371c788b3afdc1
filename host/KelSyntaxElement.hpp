// KelSyntaxElement: one node of the host's message tree. It holds a type word (type code in bits
// 0-27; complete-left bit 28, complete-right bit 29, unresolved bit 30, in a pool bit 31), one
// pointer for its name and value (its value's cell, which keeps the name beside the value, or its
// name's head cell in the name table while it holds no value: KelValueCells) and its links, which
// are 32-bit slot handles: parent, first child, next and previous sibling, where the first
// child's previous-sibling link names the last child. It finds its owning parser, its pool's
// value cells and its own handle through the head of its pool's chunk (KelSlotTable).
// Navigation drives the owning parser's on-demand parsing: firstChild/lastChild/nextSibling parse
// only as far as they must answer.
//
// Ownership: elements live in their parser's element pool and are destroyed with it; an element
// holds its value's cell (shared cells with other holders); links are not owning. An element may
// be linked into a tree of another parser (another domain).
// Thread rules: a tree is used by one thread at a time.
#pragma once

#include "host/KelBuffer.hpp"
#include "host/KelDateTime.hpp"
#include "host/KelElementLink.hpp"
#include "host/KelNameTable.hpp"
#include "host/KelSlotTable.hpp"
#include "host/KelStringBase.hpp"
#include "host/KelValue.hpp"
#include "host/KelValueCells.hpp"

#include <cstdint>
#include <string>

class KelParser;
class KelMessage;

class KelSyntaxElement {
public:
    static constexpr std::uint32_t kTypeMask = 0x0FFFFFFFu;
    static constexpr std::uint32_t kFlagMask = 0xF0000000u;
    static constexpr std::uint32_t kCompleteLeft = 0x10000000u;
    static constexpr std::uint32_t kCompleteRight = 0x20000000u;
    static constexpr std::uint32_t kComplete = kCompleteLeft | kCompleteRight;
    static constexpr std::uint32_t kUnresolved = 0x40000000u;
    // Set by the pool that made the element: only then has it a chunk head to find things by.
    static constexpr std::uint32_t kInPool = 0x80000000u;

    // Defined here: the pool constructs one for every element a scan builds.
    explicit KelSyntaxElement(KelParser*) noexcept
        : iTypeWord(0), iCell(KelNameTable::headOf(KelNameTable::empty())) {}
    KelSyntaxElement(const KelSyntaxElement&) = delete;
    KelSyntaxElement& operator=(const KelSyntaxElement&) = delete;

    // ---- Hash of a name: h = 0; for each whole 32-bit word of the UTF-16 bytes h = 2h ^ word;
    // then for each remaining byte h = 2h ^ byte (bytes in memory order).
    static std::uint32_t nameHash(const KelStringBase& name) noexcept;

    // ---- Resolving accessors: resolve an unresolved element first; raise
    // KelRecoverableException 2334 "Attempt to access an unresolved element" if it stays so.
    // Inline while resolved: a walk asks every element.
    int type() { return isUnresolved() ? resolvedType() : typeCode(); }
    const KelStringBase& name() { return isUnresolved() ? resolvedName() : storedName(); }

    // ---- Plain accessors (no resolving, no parsing).
    std::uint32_t typeWord() const noexcept { return iTypeWord & ~kInPool; }
    int typeCode() const noexcept { return static_cast<int>(iTypeWord & kTypeMask); }
    const KelStringBase& storedName() const noexcept { return *iCell->name; }
    std::uint32_t storedNameHash() const noexcept { return KelNameTable::storedHash(*iCell->name); }
    const KelValue& storedValue() const noexcept { return iCell->value(); }
    KelParser* parser() const noexcept { return inPool() ? KelSlotTable::headOf(this)->parser : nullptr; }
    // The element's slot handle (0 for an element made outside every pool, which has no parser).
    std::uint32_t slotHandle() const noexcept { return inPool() ? KelSlotTable::handleOf(this) : 0; }
    KelSyntaxElement* parent() const noexcept { return iParent; }
    bool isCompleteLeft() const noexcept { return (iTypeWord & kCompleteLeft) != 0; }
    bool isCompleteRight() const noexcept { return (iTypeWord & kCompleteRight) != 0; }
    bool isUnresolved() const noexcept { return (iTypeWord & kUnresolved) != 0; }
    // Whether a pool made the element (only such an element can be linked, and has a parser).
    bool inPool() const noexcept { return (iTypeWord & kInPool) != 0; }
    // Links as they stand, without parsing.
    KelSyntaxElement* knownFirstChild() const noexcept { return iFirstChild; }
    KelSyntaxElement* knownLastChild() const noexcept {
        return iFirstChild ? iFirstChild->iPreviousSibling.get() : nullptr;
    }
    KelSyntaxElement* knownNextSibling() const noexcept { return iNextSibling; }
    // The first child's previous-sibling link names the last child, whose next sibling is none.
    KelSyntaxElement* knownPreviousSibling() const noexcept {
        KelSyntaxElement* before = iPreviousSibling;
        return before != nullptr && before->iNextSibling ? before : nullptr;
    }
    // Whether a next sibling is known, without finding where it lies (a scan asks after every step).
    bool hasKnownNextSibling() const noexcept { return static_cast<bool>(iNextSibling); }

    // ---- Navigation that parses on demand through the owning parser.
    // What is known already is answered inline: a walk asks once per element.
    KelSyntaxElement* firstChild() {     // parseFirstChild while complete-left is clear
        return isCompleteLeft() ? iFirstChild.get() : scannedFirstChild();
    }
    KelSyntaxElement* lastChild();       // parseLastChild while complete-right is clear
    KelSyntaxElement* nextSibling() {    // parseRightSibling when none yet and parent incomplete
        return iNextSibling || !iParent ? iNextSibling.get() : scannedNextSibling();
    }
    KelSyntaxElement* previousSibling(); // parseLeftSibling (previous siblings are always known)

    // Where this element's names are kept: its parser's table, or the shared one.
    KelNameTable& nameTable() const noexcept;
    // Deletes this detached element and its subtree: their slots go back to their pools and
    // their values are freed. Refused (KelRecoverableException E_Kel_DeleteRefused, nothing
    // deleted) for an attached element, a parser's root, or what a scan may still build into.
    void deleteElement();

    // ---- Virtual operations, in table order.
    virtual ~KelSyntaxElement();
    virtual void initialize();           // name, value and flags back to a new element's
    virtual void setType(int typeCode);
    virtual void setName(const KelStringBase& name);
    virtual void setValue(const KelGmtTimeStamp& value);
    virtual void setValue(const KelGmtTime& value);
    virtual void setValue(const KelTimeStamp& value);
    virtual void setValue(const KelTime& value);
    virtual void setValue(const KelDate& value);
    virtual void setValue(const KelStringBase& value);
    virtual void setValue(double value);
    virtual void setValue(std::int64_t value);
    virtual void setValue(int value);
    virtual void setValue(bool value);
    virtual void setValue(const KelValue& value);
    virtual const KelValue& value();
    virtual void attachBefore(KelSyntaxElement* element);   // `element` becomes previous sibling
    virtual void attachAfter(KelSyntaxElement* element);    // `element` becomes next sibling
    virtual void attachAsFirstChild(KelSyntaxElement* element);
    virtual void attachAsLastChild(KelSyntaxElement* element);
    virtual void detach();
    virtual void detachChildren();
    // The create family makes a new element and attaches it. The long forms make the new element
    // the root of a parser of class `parserClassName` (created by the message group) over the
    // given bitstream, so another domain's subtree can be grafted in; the short forms make an
    // element of this element's parser with the given name (or none).
    virtual KelSyntaxElement* createBefore(const KelStringBase& parserClassName, const KelMessage* message,
                                           const std::string& bytes, const KelStringBase& messageSet,
                                           const KelStringBase& messageType, const KelStringBase& messageFormat,
                                           int encoding, int ccsid);
    virtual KelSyntaxElement* createBefore(const KelStringBase& name);
    virtual KelSyntaxElement* createBefore();
    virtual KelSyntaxElement* createAfter(const KelStringBase& parserClassName, const KelMessage* message,
                                          const std::string& bytes, const KelStringBase& messageSet,
                                          const KelStringBase& messageType, const KelStringBase& messageFormat,
                                          int encoding, int ccsid);
    virtual KelSyntaxElement* createAfter(const KelStringBase& name);
    virtual KelSyntaxElement* createAfter();
    virtual KelSyntaxElement* createFirstChild(const KelStringBase& parserClassName, const KelMessage* message,
                                               const std::string& bytes, const KelStringBase& messageSet,
                                               const KelStringBase& messageType, const KelStringBase& messageFormat,
                                               int encoding, int ccsid);
    virtual KelSyntaxElement* createFirstChild(const KelStringBase& name);
    virtual KelSyntaxElement* createFirstChild();
    virtual KelSyntaxElement* createLastChild(const KelStringBase& parserClassName, const KelMessage* message,
                                              const std::string& bytes, const KelStringBase& messageSet,
                                              const KelStringBase& messageType, const KelStringBase& messageFormat,
                                              int encoding, int ccsid);
    virtual KelSyntaxElement* createLastChild(const KelStringBase& parserClassName, const KelMessage* message,
                                              const KelBuffer& bitStream, int encoding, int ccsid);
    virtual KelSyntaxElement* createLastChild(const KelStringBase& name);
    virtual KelSyntaxElement* createLastChild();
    // Copies type, name and value from `source`; with `deep` also copies of its children (new
    // elements of this element's parser); `keepName` keeps this element's name. The third flag
    // says that the copy stands for the same text as the source (elements may keep spans). A deep
    // copy scans the source to its end first: a parse error in it is raised before anything changes.
    virtual void copy(KelSyntaxElement* source, bool deep, bool keepName, bool sameText);
    virtual int compare(KelSyntaxElement* other);           // by type, name, value; 0 when equal
    virtual void setActualValue(const char16_t* text);
    virtual void setActualValue(const unsigned char* bytes, std::size_t length);
    virtual void setActualValue(const char16_t* text, std::size_t length);
    virtual void setActualValue(const KelGmtTimeStamp& value);
    virtual void setActualValue(const KelGmtTime& value);
    virtual void setActualValue(const KelTimeStamp& value);
    virtual void setActualValue(const KelTime& value);
    virtual void setActualValue(const KelDate& value);
    virtual void setActualValue(const KelStringBase& value);
    virtual void setActualValue(double value);
    virtual void setActualValue(std::int64_t value);
    virtual void setActualValue(int value);
    virtual void setActualValue(bool value);
    virtual void setActualValue(const KelValue& value);
    virtual const KelValue& actualValue() const;
    virtual void reset();                                    // value back to null
    virtual std::string asLogString();
    virtual std::string logTreeAsString();
    virtual bool resolveIdentity(int type, int namespaceId, const KelStringBase& name);
    virtual bool resolveIdentity(int type, const KelStringBase& name);
    virtual bool resolveIdentity(int type);
    virtual bool resolveIdentity();
    virtual const KelValue& valueForCopy(bool& complete);
    virtual void copyElement(KelSyntaxElement* source);
    virtual void copyInner(KelSyntaxElement* source, bool deep);
    virtual int compareInner(KelSyntaxElement* other);
    virtual std::string describeIndex();
    virtual std::string describeParent();
    virtual void logTreeAsStringInner(std::string& out, int depth);

protected:
    // The stored value to write: the element's own cell, made or unshared first.
    KelValue& mutableStoredValue();
    // The stored value back to null (a cell of its own is kept, so what value() returned before
    // still refers to the element's value).
    void resetStoredValue() noexcept;
    // The out-of-line parts of type(), name(), firstChild() and nextSibling().
    int resolvedType();
    const KelStringBase& resolvedName();
    KelSyntaxElement* scannedFirstChild();
    KelSyntaxElement* scannedNextSibling();
    // Unlinks this element from its parent and siblings (no marking).
    void unlink() noexcept;
    KelSyntaxElement* newElementOfSameParser();

private:
    // ---- Plain setters: mark nothing changed. Only a parser building the tree may use them
    // (through KelSyntaxElementAccess): anyone else would corrupt the state of a lazy parse.
    friend class KelSyntaxElementAccess;
    friend class KelParser;
    friend class KelSyntaxElementPool;
    void parserSetType(int typeCode) noexcept { iTypeWord = (iTypeWord & kFlagMask) | (static_cast<std::uint32_t>(typeCode) & kTypeMask); }
    void parserSetName(const KelStringBase& name);
    // For parsers that keep the names they meet often: `name` must live in this element's name
    // table (nameTable()) or be KelNameTable::empty(), which keeps its hash with it. An element
    // whose cell others share takes a cell of its own first (which may fail, changing nothing).
    void parserSetInternedName(const KelStringBase* name) {
        if (!holdsCell())
            holdName(name);
        else if (iCell->holders == 0)
            iCell->name = name;
        else
            renameSharedCell(name);
    }
    // The same for an element just made, which holds no value yet.
    void parserNameNewElement(const KelStringBase* name) noexcept { holdName(name); }
    // The value as read (inline: a scan sets every value it reads this way). A value read into
    // an element that holds none yet may share its cell with the elements that read the same
    // indentation before it. (An element that holds no value holds its name's head, whose holder
    // count is the name's hash.)
    void parserSetCharacters(const char16_t* text, std::size_t length) {
        if (!holdsCell() && length <= KelValueCells::kShareLimit && inPool() && text != nullptr) {
            holdCell(KelSlotTable::headOf(this)->cells->takeRead(text, length, iCell->name, iCell->holders));
            return;
        }
        mutableStoredValue().setCharacters(text, length);
    }
    // The same for a value the parser expects to repeat (an attribute whose values did): looked
    // up among the values read before whatever it begins with. True when it found one to share.
    bool parserLookUpCharacters(const char16_t* text, std::size_t length) {
        if (!holdsCell() && length <= KelValueCells::kLookUpLimit && inPool() && text != nullptr) {
            KelValueCells::Cell* found =
                KelSlotTable::headOf(this)->cells->lookUp(text, length, iCell->name, iCell->holders);
            holdCell(found);
            return KelValueCells::holdersOf(found) > 1;
        }
        parserSetCharacters(text, length);
        return false;
    }
    // The value read so far (the first piece of a text, which the host has not been given) is
    // replaced by the whole text: looked up when `lookUp` (true when a cell was found to share),
    // else held in a cell of its own. A failure changes nothing.
    bool parserReplaceCharacters(const char16_t* text, std::size_t length, bool lookUp) {
        if (!inPool() || length > KelValueCells::kLookUpLimit) {
            mutableStoredValue().setValue(KelStringBase(text, length));
            return false;
        }
        KelValueCells& cells = *KelSlotTable::headOf(this)->cells;
        const KelStringBase* name = iCell->name;
        KelValueCells::Cell* whole = lookUp ? cells.lookUp(text, length, name, KelNameTable::storedHash(*name))
                                            : cells.takeOwnCharacters(text, length, name);
        if (holdsCell()) cells.give(iCell);
        holdCell(whole);
        return KelValueCells::holdersOf(whole) > 1;
    }
    // More of the same text, appended in place (to a cell of the element's own).
    void parserAppendCharacters(const char16_t* text, std::size_t length) {
        mutableStoredValue().appendCharacters(text, length);
    }
    void parserAttachAsLastChild(KelSyntaxElement* child) noexcept { parserAttachAsLastChild(child, child->slotHandle()); }
    // The same for a child whose handle the parser has at hand (the pool gave it when it made it).
    void parserAttachAsLastChild(KelSyntaxElement* child, std::uint32_t childHandle) noexcept;
    // Drops the links to the children (which are being released) without touching them.
    void parserForgetChildren() noexcept { iFirstChild = nullptr; }
    void setCompleteLeft() noexcept { iTypeWord |= kCompleteLeft; }
    void setCompleteRight() noexcept { iTypeWord |= kCompleteRight; }
    void clearComplete() noexcept { iTypeWord &= ~kComplete; }
    void setTypeWord(std::uint32_t word) noexcept { iTypeWord = (word & ~kInPool) | (iTypeWord & kInPool); }
    void setUnresolved(bool unresolved) noexcept { if (unresolved) iTypeWord |= kUnresolved; else iTypeWord &= ~kUnresolved; }

    // The pool marks an element it made; an element outside any pool has no handle and no parser.
    // The parser is found through the chunk's head, the links are handles: every slot of the pool
    // pays for every field here.
    void enterPool() noexcept { iTypeWord |= kInPool; }
    // While a parser releases its tree, it marks the elements that stay (they stand in another
    // parser's tree) in the low bit of the cell pointer, which no one reads meanwhile.
    void markSurvivor() noexcept { iCell = reinterpret_cast<KelValueCells::Cell*>(reinterpret_cast<std::uintptr_t>(iCell) | 1u); }
    bool isSurvivor() const noexcept { return (reinterpret_cast<std::uintptr_t>(iCell) & 1u) != 0; }
    void clearSurvivor() noexcept { iCell = reinterpret_cast<KelValueCells::Cell*>(reinterpret_cast<std::uintptr_t>(iCell) & ~std::uintptr_t{1}); }
    // Lets the value's cell go, as the element goes (it keeps its name).
    void clearStoredValue() noexcept;
    // parserSetInternedName for an element whose cell others share.
    void renameSharedCell(const KelStringBase* name);

    // Whether the element holds a value's cell (else it points at its name's head).
    bool holdsCell() const noexcept { return !KelValueCells::isNameHead(iCell); }
    void holdCell(KelValueCells::Cell* held) noexcept { iCell = held; }
    void holdName(const KelStringBase* name) noexcept { iCell = KelNameTable::headOf(*name); }
    friend class KelElementLink;

    // Laid out without a hole, and with the last 4 bytes of the 8-byte-aligned size free: a
    // derived element's first 4-byte field goes there. (A free slot keeps its handle and the next
    // free slot where the type word's neighbours are: KelSyntaxElementPool.)
    std::uint32_t iTypeWord;
    KelElementLink iParent;
    // Never null: the value's cell (from the pool's value cells; an element outside every pool
    // owns a cell of the heap), which holds the name beside the value; or, while the element
    // holds no value, the head of its name (in nameTable(), or KelNameTable::empty()).
    KelValueCells::Cell* iCell;
    KelElementLink iFirstChild;
    KelElementLink iNextSibling;
    KelElementLink iPreviousSibling;   // of the first child: the last child
};

inline KelElementLink& KelElementLink::operator=(KelSyntaxElement* element) noexcept {
    iHandle = element ? element->slotHandle() : 0;
    return *this;
}

inline KelSyntaxElement* KelElementLink::get() const noexcept { return KelSlotTable::element(iHandle); }

// Inline: a parser attaches every element it builds this way. A child after the first takes its
// parent's handle from the first child, which it reads anyway to find the last one.
inline void KelSyntaxElement::parserAttachAsLastChild(KelSyntaxElement* child, std::uint32_t childHandle) noexcept {
    const KelElementLink self = KelElementLink::fromHandle(childHandle);
    child->iNextSibling = nullptr;
    if (iFirstChild) {
        KelSyntaxElement* first = iFirstChild;
        const KelElementLink last = first->iPreviousSibling;
        child->iParent = first->iParent;
        child->iPreviousSibling = last;
        (last == iFirstChild ? first : last.get())->iNextSibling = self;
        first->iPreviousSibling = self;
    } else {
        child->iParent = this;
        child->iPreviousSibling = self;
        iFirstChild = self;
    }
}

// XmlKelSyntaxElement: the syntax element of the XML domains. Besides the host element it knows
// where its text lies in the bitstream it was parsed from (its original span), that bitstream's
// code page and byte order, and for attributes which quote enclosed the value. Every change made
// through the host's operations forgets the span of the changed element and of all its XML-domain
// ancestors, so the writer rewrites exactly the changed path and copies everything else.
// A container's value is the text of its content children.
// Ownership: lives in its parser's element pool; the span points into bytes the parser keeps.
// Thread rules: one thread at a time, like the tree it belongs to.
#pragma once

#include "common/XmlConstants.hpp"
#include "host/KelSyntaxElement.hpp"

#include <cstdint>

class XmlKelParser;

class XmlKelSyntaxElement : public KelSyntaxElement, public XmlConstants {
public:
    // Defined here: the pool constructs one for every element a scan builds.
    explicit XmlKelSyntaxElement(XmlKelParser*) noexcept
        : KelSyntaxElement(nullptr), iBufferStart(nullptr), iBufferCodepage(0), iFlags(kDoubleQuoted | kBigEndian) {}
    // The tree builder's, with what it reads the bitstream in (a page that is not a 16-bit ccsid
    // is kept as 0, as setBufferCodepage keeps it).
    XmlKelSyntaxElement(std::uint16_t bufferCodepage, bool bufferBigEndian) noexcept
        : KelSyntaxElement(nullptr), iBufferStart(nullptr), iBufferCodepage(bufferCodepage),
          iFlags(bufferBigEndian ? kDoubleQuoted | kBigEndian : kDoubleQuoted) {}
    static std::uint16_t codepageOf(int ccsid) noexcept {
        return ccsid > 0 && ccsid <= 0xFFFF ? static_cast<std::uint16_t>(ccsid) : 0;
    }
    ~XmlKelSyntaxElement() override;

    bool isDoubleQuotedAttribute() const noexcept { return (iFlags & kDoubleQuoted) != 0; }
    void setDoubleQuotedAttribute(bool doubleQuoted) noexcept { setFlag(kDoubleQuoted, doubleQuoted); }
    int getBufferBigEndian() const noexcept { return (iFlags & kBigEndian) != 0 ? 1 : 0; }
    void setBufferBigEndian(bool bigEndian) noexcept { setFlag(kBigEndian, bigEndian); }
    int getBufferCodepage() const noexcept { return iBufferCodepage; }
    void setBufferCodepage(int ccsid) noexcept { iBufferCodepage = codepageOf(ccsid); }
    // The span: null once the element, or anything below it, changed.
    const unsigned char* getBufferStart() const noexcept { return contentChanged() ? nullptr : iBufferStart; }
    // A span's end stays where it was when its start moves.
    void setBufferStart(const unsigned char* start) noexcept {
        const unsigned char* end = bufferEnd();
        iBufferStart = start;
        setBufferEnd(end);
        iStartTag &= ~kChangeFlags;
        setFlag(kAncestorsMarked, false);
    }
    const unsigned char* getBufferEnd() const noexcept { return contentChanged() ? nullptr : bufferEnd(); }
    // An element changed while still open in the scan stays changed when its end is found. An end
    // without a start, or 512 GiB or more away from it, is no end: the span is not kept. (An end
    // before its start is kept, for the writer to refuse as it refuses every bad stretch.)
    void setBufferEnd(const unsigned char* end) noexcept {
        const std::uint64_t distance =
            reinterpret_cast<std::uintptr_t>(end) - reinterpret_cast<std::uintptr_t>(iBufferStart);
        // One comparison for both bounds: -2^39 < distance < 2^39.
        const bool kept = end != nullptr && iBufferStart != nullptr && distance + (kSpanRange / 2 - 1) < kSpanRange - 1;
        setSpanLength(kept ? static_cast<std::int64_t>(distance) : kNoEnd);
    }
    // Both ends at once, as a scan records them (no end to keep from before).
    void setSpan(const unsigned char* start, const unsigned char* end) noexcept {
        iBufferStart = start;
        iStartTag &= ~kChangeFlags;
        setFlag(kAncestorsMarked, false);
        setBufferEnd(end);
    }
    bool hasSpan() const noexcept { return getBufferStart() != nullptr && getBufferEnd() != nullptr; }

    // An element knows how many bytes of its span its start tag takes (0: unknown). When only
    // what lies below it changed, its name and attributes did not: the span is gone, but its
    // start and end tag still stand in the input and are copied from there.
    void setStartTagLength(std::uint32_t bytes) noexcept {
        iStartTag = bytes < kStartTagChanged ? bytes : 0;
    }
    bool keepsTags() const noexcept { return (iStartTag & kChangeFlags) == kContentChanged && spanPointersKept(); }
    // When its attributes changed but not its name, its start tag still stands in the input too:
    // the writer copies the unchanged attributes from there and writes only what changed.
    bool keepsStartTagSource() const noexcept { return (iStartTag & kStartTagChanged) != 0 && spanPointersKept(); }
    // The same two for an element still open in the scan, whose end is not known yet.
    bool keepsOpenStartTag() const noexcept {
        return (iStartTag & kChangeFlags) == kContentChanged && iBufferStart != nullptr && startTagLength() > 0;
    }
    bool keepsOpenStartTagSource() const noexcept {
        return (iStartTag & kStartTagChanged) != 0 && iBufferStart != nullptr && startTagLength() > 0;
    }
    std::uint32_t startTagLength() const noexcept { return iStartTag & ~kChangeFlags; }
    const unsigned char* tagStart() const noexcept { return iBufferStart; }
    const unsigned char* startTagEnd() const noexcept { return iBufferStart + (iStartTag & ~kChangeFlags); }
    const unsigned char* tagsEnd() const noexcept { return bufferEnd(); }
    // An attribute stands in its element's start tag as it was read there: never changed, moved or
    // copied since. The writer copies such an attribute's bytes from the tag.
    bool isAsParsed() const noexcept { return (iFlags & kAsParsed) != 0; }
    void setAsParsed() noexcept { iFlags |= kAsParsed; }
    // An attribute whose value held a reference to an entity declared outside its message: the
    // value lacks what the reference stood for, and only the source text holds the reference.
    // Copies carry the mark; a value set anew clears it.
    bool valueLacksReference() const noexcept { return (iFlags & kLacksReference) != 0; }
    void setValueLacksReference() noexcept { iFlags |= kLacksReference; }
    // Moved or copied by a user of the tree (attached elsewhere, detached, a copy's target) away
    // from a place where namespace declarations were in scope: those its names rely on may have
    // stayed there. The tree holds
    // names as written, not namespaces, so the writer checks such an element's prefixes against
    // the declarations in scope where it now stands.
    bool wasMoved() const noexcept { return (iFlags & kMoved) != 0; }
    // Renamed by a user in a parser whose trees hold namespace declarations: the writer checks
    // that the new name's prefix is declared where the element stands (its subtree is as it was).
    bool wasRenamed() const noexcept { return (iFlags & kRenamed) != 0; }

    // How many elements the marking of changes has passed in this process (each element a change
    // marks, up to where the marks of earlier changes begin): tests hold it linear in the edits.
    static std::size_t elementsMarked() noexcept;

    // First child whose type code equals `type`, parsing on demand; null if none.
    XmlKelSyntaxElement* findChildElement(int type);

    // Whether `element` belongs to this element's parser or to any parser of the "xml" group.
    static bool isXmlDomainElement(const KelSyntaxElement* element, const KelParser* self) noexcept;

    // ---- Overrides of the host's virtual operations.
    void initialize() override;
    void setType(int typeCode) override;
    void setName(const KelStringBase& name) override;
    void setValue(const KelGmtTimeStamp& value) override;
    void setValue(const KelGmtTime& value) override;
    void setValue(const KelTimeStamp& value) override;
    void setValue(const KelTime& value) override;
    void setValue(const KelDate& value) override;
    void setValue(const KelStringBase& value) override;
    void setValue(double value) override;
    void setValue(std::int64_t value) override;
    void setValue(int value) override;
    void setValue(bool value) override;
    void setValue(const KelValue& value) override;
    const KelValue& value() override;
    void attachBefore(KelSyntaxElement* element) override;
    void attachAfter(KelSyntaxElement* element) override;
    void attachAsFirstChild(KelSyntaxElement* element) override;
    void attachAsLastChild(KelSyntaxElement* element) override;
    void detach() override;
    void detachChildren() override;
    void copy(KelSyntaxElement* source, bool deep, bool keepName, bool sameText) override;
    // The value as the element stores it: a user's change like setValue (marked), but never
    // moved to a content child. The tree builder sets values through KelSyntaxElementAccess.
    void setActualValue(const char16_t* text) override;
    void setActualValue(const unsigned char* bytes, std::size_t length) override;
    void setActualValue(const char16_t* text, std::size_t length) override;
    void setActualValue(const KelGmtTimeStamp& value) override;
    void setActualValue(const KelGmtTime& value) override;
    void setActualValue(const KelTimeStamp& value) override;
    void setActualValue(const KelTime& value) override;
    void setActualValue(const KelDate& value) override;
    void setActualValue(const KelStringBase& value) override;
    void setActualValue(double value) override;
    void setActualValue(std::int64_t value) override;
    void setActualValue(int value) override;
    void setActualValue(bool value) override;
    void setActualValue(const KelValue& value) override;
    void reset() override;
    // A resolved element given another type or name has changed, as after setType or setName.
    bool resolveIdentity(int type, const KelStringBase& name) override;
    bool resolveIdentity(int type) override;
    using KelSyntaxElement::resolveIdentity;
    const KelValue& valueForCopy(bool& complete) override;
    void copyElement(KelSyntaxElement* source) override;

private:
    static constexpr std::uint32_t kContentChanged = 0x80000000u;
    static constexpr std::uint32_t kStartTagChanged = 0x40000000u;   // always with kContentChanged
    static constexpr std::uint32_t kChangeFlags = kContentChanged | kStartTagChanged;
    // iFlags: which quote enclosed an attribute's value, the span's byte order, as parsed, a value
    // without the text of a reference it held, moved by a user, and for an element without a
    // span: its ancestors were marked changed since it lost it (set only by setElementChanged,
    // cleared by everything that gives a span back), renamed by a user.
    static constexpr std::uint8_t kDoubleQuoted = 1, kBigEndian = 2, kAsParsed = 4, kLacksReference = 8,
                                    kMoved = 16, kAncestorsMarked = 32, kRenamed = 64;
    void setFlag(std::uint8_t flag, bool on) noexcept {
        iFlags = static_cast<std::uint8_t>(on ? iFlags | flag : iFlags & ~flag);
    }
    bool contentChanged() const noexcept { return (iStartTag & kContentChanged) != 0; }
    // The span's end is kept as its distance from the start, a signed 40-bit number; the least
    // of them means no end.
    static constexpr std::uint64_t kSpanRange = std::uint64_t(1) << 40;
    static constexpr std::int64_t kNoEnd = -static_cast<std::int64_t>(kSpanRange / 2);
    std::int64_t spanLength() const noexcept {
        const std::uint64_t raw = static_cast<std::uint64_t>(iSpanLengthHigh) << 32 | iSpanLength;
        return static_cast<std::int64_t>(raw << 24) >> 24;
    }
    void setSpanLength(std::int64_t length) noexcept {
        iSpanLength = static_cast<std::uint32_t>(length);
        iSpanLengthHigh = static_cast<std::uint8_t>(static_cast<std::uint64_t>(length) >> 32);
    }
    const unsigned char* bufferEnd() const noexcept {
        return iBufferStart != nullptr && spanLength() != kNoEnd ? iBufferStart + spanLength() : nullptr;
    }
    bool spanPointersKept() const noexcept { return bufferEnd() != nullptr; }
    bool isXmlKelSyntaxElement(KelSyntaxElement* element) const noexcept;
    // Marks `start` and its XML-domain ancestors: `start` wholly when its start tag changed (an
    // attribute of it did), else, as every ancestor, only below its tags where it knows them.
    void setElementChanged(KelSyntaxElement* start, bool startTagChanged = true) noexcept;
    void forgetSpan() noexcept;
    // Once `moved` has left `origin`: it no longer stands where it was read.
    void forgetOrigin(KelSyntaxElement* moved, KelSyntaxElement* origin) noexcept;
    // Marks the element moved when it leaves a place where namespace declarations are in scope.
    void markMovedFrom(KelSyntaxElement* origin) noexcept;
    // Marks this element and its XML-domain ancestors; false when the element has no parser.
    bool markSelfAndAncestors() noexcept;
    KelSyntaxElement* createValueElement();
    template <class T> void setValueOf(const T& value);

    // Packed into 20 bytes after the host element's last field (the start tag's word takes the
    // 4 bytes its size leaves free): each slot of the pool pays for every field here.
    std::uint32_t iStartTag = 0;   // start-tag length, and the change flags
    const unsigned char* iBufferStart;
    std::uint32_t iSpanLength = 0;   // with the high byte below: kNoEnd
    std::uint16_t iBufferCodepage; // a ccsid is 16 bits; 0 when unknown
    std::uint8_t iSpanLengthHigh = 0x80;
    std::uint8_t iFlags;
};

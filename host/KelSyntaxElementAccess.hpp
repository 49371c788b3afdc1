// KelSyntaxElementAccess: the setters a parser uses while it builds a tree from a bitstream
// (type, name, value, completion flags, attaching without marking anything changed). They are kept out
// of KelSyntaxElement's public interface because a caller who used them on a tree in the middle
// of a lazy parse would break it; parsers (and their tests) reach them through this class.
// Not installed. Stateless; the thread rules are those of the element.
#pragma once

#include "host/KelSyntaxElement.hpp"

class KelSyntaxElementAccess {
public:
    static void parserSetType(KelSyntaxElement* e, int typeCode) noexcept { e->parserSetType(typeCode); }
    static void parserSetName(KelSyntaxElement* e, const KelStringBase& name) { e->parserSetName(name); }
    static void parserNameNewElement(KelSyntaxElement* e, const KelStringBase* name) noexcept {
        e->parserNameNewElement(name);
    }
    static void parserSetInternedName(KelSyntaxElement* e, const KelStringBase* name) {
        e->parserSetInternedName(name);
    }
    // The value as read from the bitstream: the host's own setter, never a domain's override
    // that would take it for a user's change.
    // Character values go straight into the element's value, without a temporary string.
    static void parserSetActualValue(KelSyntaxElement* e, const char16_t* text) {
        e->parserSetCharacters(text, text != nullptr ? std::char_traits<char16_t>::length(text) : 0);
    }
    static void parserSetActualValue(KelSyntaxElement* e, const char16_t* text, std::size_t length) {
        e->parserSetCharacters(text, length);
    }
    // A value the parser expects to repeat, looked up among those read before; true when one
    // was found to share.
    static bool parserLookUpActualValue(KelSyntaxElement* e, const char16_t* text, std::size_t length) {
        return e->parserLookUpCharacters(text, length);
    }
    // The text read so far, which the host has not been given, replaced by the whole of it.
    static bool parserReplaceActualValue(KelSyntaxElement* e, const char16_t* text, std::size_t length, bool lookUp) {
        return e->parserReplaceCharacters(text, length, lookUp);
    }
    // More of the text already read: appended to the character value in place. A value of any
    // other kind raises KelRecoverableException (as reading its text would) and stays as it is.
    static void parserAppendCharacters(KelSyntaxElement* e, const char16_t* text, std::size_t length) {
        e->parserAppendCharacters(text, length);
    }
    static void parserSetActualValue(KelSyntaxElement* e, const KelStringBase& value) {
        e->KelSyntaxElement::setActualValue(value);
    }
    static void parserResetValue(KelSyntaxElement* e) { e->KelSyntaxElement::reset(); }
    static void parserAttachAsLastChild(KelSyntaxElement* parent, KelSyntaxElement* child) noexcept {
        parent->parserAttachAsLastChild(child);
    }
    // The same with the child's handle, which the parser has from the pool that made the child.
    static void parserAttachAsLastChild(KelSyntaxElement* parent, KelSyntaxElement* child, std::uint32_t childHandle) noexcept {
        parent->parserAttachAsLastChild(child, childHandle);
    }
    static void parserForgetChildren(KelSyntaxElement* e) noexcept { e->parserForgetChildren(); }
    static void setCompleteLeft(KelSyntaxElement* e) noexcept { e->setCompleteLeft(); }
    static void setCompleteRight(KelSyntaxElement* e) noexcept { e->setCompleteRight(); }
    static void clearComplete(KelSyntaxElement* e) noexcept { e->clearComplete(); }
    static void setTypeWord(KelSyntaxElement* e, std::uint32_t word) noexcept { e->setTypeWord(word); }
    static void setUnresolved(KelSyntaxElement* e, bool unresolved) noexcept { e->setUnresolved(unresolved); }
};

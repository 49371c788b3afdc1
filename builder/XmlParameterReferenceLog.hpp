// XmlParameterReferenceLog: where a parameter-entity reference stands between the declarations
// of an internal subset. The scanner reports no event for such a reference, only the
// declarations its text holds; the scanner's memory tells this log of every reader opened and
// closed, and the tree builder takes the marks made since its last event and puts a reference
// start and end around what the expansion built, so that the reference, not its text, is
// written back. A reference to an entity declared nowhere opens no reader: it is read back from
// the document's text, and marked with nothing between. Only references whose text is whole
// declarations are marked: any other is left to read as the declarations it held.
// Ownership: owned by the tree builder; points at the scanner's reader manager and entity
// declarations while the subset is scanned, owns neither. Thread rules: the builder's thread.
#pragma once

#include "builder/XmlSpanLocator.hpp"

#include <xercesc/util/XercesDefs.hpp>

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

XERCES_CPP_NAMESPACE_BEGIN
class DTDEntityDecl;
class ReaderMgr;
XERCES_CPP_NAMESPACE_END

class XmlParameterReferenceLog {
public:
    // A reference began (its expansion opened) or ended (its expansion closed).
    struct Mark {
        bool start;
        std::u16string name;
        long documentOffset;   // in the document's own text, just after the reference; -1 elsewhere
        // The scanner read the entity: it pads the end of what it read with a space that the
        // next white space it reports holds, though the document has none there.
        bool padded = true;
    };

    // Watches `readers` from now on while an internal subset is scanned, whose text starts at
    // `from` in the document's text (-1: unknown); null stops the watch and forgets everything
    // (the subset ended, or the scan was given up).
    void watch(const xercesc::ReaderMgr* readers, long from = -1);
    bool watching() const noexcept { return iReaders != nullptr; }

    // An entity the subset declared. A parameter entity is known from now on by the address of
    // the declaration (which is never read again: the scanner frees it before it closes the
    // readers of a document it gives up); its references get marks when it is external or its
    // text is whole declarations.
    void declare(const xercesc::DTDEntityDecl& entity);

    // From the scanner's memory: a reader is about to be opened, or the reader object at
    // `reader` is being freed.
    void readerOpening() noexcept;
    void readerClosing(const void* reader) noexcept;

    // The marks made since the last take, in order, with the reader now current settled first,
    // and those of the references that stand unexpanded in `text` before the event at `p`.
    const std::vector<Mark>& take(XmlSpanLocator& text, const XmlSpanLocator::Position& p);

    // `text` (`length` code units) is nothing but whole markup declarations, comments, processing
    // instructions, parameter-entity references and white space: the text a reference between
    // declarations may stand for without splitting a declaration with what follows it.
    static bool isWholeDeclarations(const XMLCh* text, std::size_t length) noexcept;

private:
    // A reader this log saw open and not yet close.
    struct Open {
        std::size_t depth;     // the reader manager's depth while it is the current reader
        long documentOffset;   // where the document's reader stood when it opened, or -1
        bool settled;          // whether it is known to be a marked reference
        bool marked;
        const std::u16string* name;   // the entity's, when marked
    };
    struct Declared {
        std::u16string name;
        bool marked;
    };
    // The newest open reader, when it is the current one, learns what it reads.
    void settleCurrent() noexcept;
    // Marks the references that stand unexpanded in `text` from the last point read up to `to`
    // (the last of them excepted when `expandedAtEnd`: the reference being expanded there).
    void markUnexpanded(XmlSpanLocator& text, long to, bool expandedAtEnd);

    const xercesc::ReaderMgr* iReaders = nullptr;
    std::vector<Open> iOpen;
    std::vector<Mark> iMarks;
    std::vector<Mark> iTaken;
    std::unordered_map<const void*, Declared> iDeclared;
    long iReadFrom = -1;   // where the document's text is read next for unexpanded references
};

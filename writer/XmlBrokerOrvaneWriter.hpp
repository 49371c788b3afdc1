// XmlBrokerOrvaneWriter: writes an XML-domain message tree back into the host's write buffer.
// It walks the tree, and for each element decides between copying the element's original bytes
// (the reuse test) and writing it anew as markup through the output wrappers. The bytes go
// through its XmlBufferedOutput, which gathers, converts and copies them; escaping, the
// declaration's encoding name and the document type's closing ">" are kept by small helpers.
// Ownership: owned by its XmlKelParser; owns its output and helpers, never the write buffer, the
// tree or the bytes that element spans point into.
// Thread rules: one writeBuffer call at a time, on the thread that owns the parser's tree.
#pragma once

#include "common/XmlOrvaneWriter.hpp"
#include "host/KelOwnedLogSource.hpp"
#include "host/KelStringBase.hpp"
#include "writer/XmlBufferedOutput.hpp"
#include "writer/XmlDocTypeCloseTracker.hpp"
#include "writer/XmlPrologWriter.hpp"
#include "writer/XmlTagSource.hpp"
#include "writer/XmlTextEscaper.hpp"

#include <cstddef>
#include <unordered_set>
#include <vector>

class KelSyntaxElement;
class KelValue;
class KelWriteBuffer;
class XmlKelParser;
class XmlKelSyntaxElement;
class XmlFrontierCopier;

class XmlBrokerOrvaneWriter : public XmlOrvaneWriter, public KelOwnedLogSource {
public:
    // Largest piece (in UTF-16 code units) that is still gathered in the pending text.
    static constexpr unsigned kFlushThreshold = XmlBufferedOutput::kFlushThreshold;
    // Declarations nest only a few levels in any document; a hand-built tree nested deeper than
    // this is refused instead of being followed down the stack.
    static constexpr int kMaxDeclarationDepth = 256;

    XmlBrokerOrvaneWriter(XmlKelParser* owner, bool spanReuse);
    XmlBrokerOrvaneWriter(const XmlBrokerOrvaneWriter& other);
    XmlBrokerOrvaneWriter& operator=(const XmlBrokerOrvaneWriter& other);
    virtual ~XmlBrokerOrvaneWriter();

    // Writes the children of `root` into `buffer` in `ccsid`, with the byte order (and, for
    // UTF-16, the byte-order mark) that `encoding` gives; returns the bytes `buffer` now holds.
    // With a `frontier` (prepared by the caller for this write) the write stops at the scan
    // frontier and copies the rest, as the copier says, falling back to the whole walk when it
    // cannot.
    int writeBuffer(KelWriteBuffer* buffer, KelSyntaxElement* root, long ccsid, long encoding,
                    XmlFrontierCopier* frontier = nullptr);

    // Writes `element` and all it holds, where it stands in its document, into `buffer` in
    // `ccsid`, as a write of the whole document would write it there (unchanged stretches
    // copied, the rest checked and written anew), with no declaration and no byte-order mark;
    // returns the bytes `buffer` now holds. The declarations of prefixes above it are not added.
    // The element must be complete.
    int writeFragment(KelWriteBuffer* buffer, KelSyntaxElement* element, long ccsid, long encoding);
    // Whether writeFragment writes an element of this type: an element, or what stands by itself
    // between elements (a comment, a processing instruction, white space). Text, an attribute, a
    // declaration or a reference mark is written only as part of what holds it.
    static bool writesOnItsOwn(int type) noexcept;

    // What the last writeBuffer added to its buffer: bytes copied unchanged from element spans,
    // and every other byte (markup, converted text, byte-order mark).
    long bytesCopiedFromSpans() const noexcept { return iBytesCopied; }
    long bytesWrittenAsMarkup() const noexcept { return iBytesWritten > iBytesCopied ? iBytesWritten - iBytesCopied : 0; }

private:
    friend class XmlFrontierCopier;   // writes the built part with the walk's own operations
    friend class XmlPrologWriter;     // writes the prolog with the walk's own operations

    // One open element of the explicit stack that writeElement walks instead of recursing.
    struct Frame {
        KelSyntaxElement* element;
        KelSyntaxElement* next;  // next child to write, null when all are written
        int pauseBase;           // pause depth when the element was opened
        bool tagsCopied;         // its start tag was copied: so is its end tag where it can be
    };

    // The start of every write: refuses a null buffer or element and a page without converter,
    // sets the byte order (a mark only when `top` is the document), and clears what an earlier
    // write left; returns the bytes the buffer held before.
    long beginWrite(KelWriteBuffer* buffer, KelSyntaxElement* top, KelSyntaxElement* document, long ccsid,
                    long encoding, const char* function);
    // The end of every write that succeeds: what is pending goes out; returns the bytes the
    // buffer now holds.
    int endWrite(KelWriteBuffer* buffer, long usedBefore);
    // Whatever way a write ends, it leaves nothing behind for the next.
    struct EndOfWrite {
        XmlBrokerOrvaneWriter* writer;
        ~EndOfWrite();
    };

    // ---- Tree walking.
    // An item of the prolog or of the document type definition (XmlPrologWriter).
    void writeProlog(KelSyntaxElement* element) { iProlog.write(this, element); }
    void writeElement(KelSyntaxElement* element);
    bool openElement(KelSyntaxElement* element);
    void closeElement(const Frame& frame);
    void writeContentChild(KelSyntaxElement* child, int pauseBase);
    void writeMisc(KelSyntaxElement* element);

    // ---- Helpers.
    bool isXmlSyntaxElement(KelSyntaxElement* element);
    XmlKelSyntaxElement* asXmlElement(KelSyntaxElement* element);
    int effectiveType(KelSyntaxElement* element);
    KelSyntaxElement* findChildElement(KelSyntaxElement* parent, int type);
    void ensureComplete(KelSyntaxElement* element);
    // Whether this write ends new lines in NL (an EBCDIC document that does).
    bool endsLinesWithNewLine(KelSyntaxElement* root, long ccsid);
    // The reuse test and the copy: true when the element's original bytes were written.
    bool copyOriginal(KelSyntaxElement* element);
    // An element whose tags stand unchanged in the input (only its content changed), or null.
    XmlKelSyntaxElement* keptTags(KelSyntaxElement* element);
    // Copies such an element's end tag; false (nothing written) when it cannot.
    bool copyEndTag(KelSyntaxElement* element);
    const unsigned char* lastChildEnd(KelSyntaxElement* element, const unsigned char* from, const unsigned char* end);
    // An element whose attributes changed but whose start tag still stands in the input, or null.
    XmlKelSyntaxElement* startTagSource(KelSyntaxElement* element);
    enum class TagOutcome { NotWritten, Open, Closed };
    // Writes such an element's start tag from its source: Open when it was left open on iStack,
    // NotWritten (nothing written) when the source cannot be read for sure.
    TagOutcome writeStartTagFromSource(KelSyntaxElement* element, XmlKelSyntaxElement& tags);
    // Reads such an element's start tag into iTagSource; false when it cannot be read for sure.
    bool readStartTagSource(KelSyntaxElement* element, const XmlKelSyntaxElement& tags);
    // Writes the tag read: "<", the name and the attributes, without the close; true when the
    // element has children other than attributes (among those built).
    bool writeStartTagPieces(KelSyntaxElement* element, const XmlKelSyntaxElement& tags);
    // One attribute of such a tag, matched by name among the tag's attributes from `next` on;
    // returns the index of the first of them not yet written or left out.
    std::size_t writeAttributeFromSource(KelSyntaxElement* attribute, const XmlKelSyntaxElement& tags,
                                         std::size_t next);
    // Copies [start, end) of the bitstream `from` stands in; false (nothing written) when it cannot.
    bool copySource(const unsigned char* start, const unsigned char* end, const XmlKelSyntaxElement& from);
    // Raises when `name` was written in the start tag being written already.
    void checkNewAttributeName(const KelStringBase& name);
    void setOutputCodepage(long ccsid);
    void setOutputEncoding(long encoding);
    void outputStartDoc();
    void outputEndDoc();
    void clearBuffer();

    // ---- Pausing (nests: every entity reference start pauses, its end resumes).
    bool paused() const noexcept { return iPauseDepth > 0; }
    void pauseOutput();
    void resumeOutput(int floor);
    void setPauseDepth(int depth);

    // ---- Pieces on their way to the output.
    void flushPending();
    void emitPiece(const KelStringBase& piece);
    void emitPiece(const char16_t* text, std::size_t length);
    // Pieces built by a primitive go through iPiece: clear it, fill it, then emitBuiltPiece.
    KelStringBase& newPiece();
    void emitBuiltPiece();
    // `lead`, then `text` as it stands between two `quote`s: a literal that holds no references.
    void emitLiteral(const KelStringBase& lead, const KelStringBase& quote, const KelStringBase& text);
    // Supplies the document type's ">" when a copied declaration owes it, before other output.
    void settleDocTypeCloseForMarkup();
    // Copies a stretch of an original bitstream. False (nothing written) when the stretch must
    // be converted and the output code page cannot represent it: the caller writes markup.
    bool outputPieceOfOriginalBuffer(const unsigned char* start, const unsigned char* end, long ccsid,
                                     bool bigEndian);
    // Text written anew, escaped for its kind.
    void outputText(const KelStringBase& text, XmlTextEscaper::Mode mode);

    // ---- Output wrappers: each writes one piece of markup, nothing while paused.
    void outputStartElementBegin(const KelStringBase& name);
    void outputStartElementEnd(const KelStringBase& name);
    void outputEndEmptyElement(const KelStringBase& name);
    void outputEndElement(const KelStringBase& name);
    void outputCharacters(const KelStringBase& text, bool escape);
    void outputAttribute(const KelStringBase& name, const KelValue& value, const KelStringBase& quote);
    // One attribute of a start tag written anew: from its source text while it keeps a span,
    // else from its value; nothing for a null value.
    void writeAttribute(KelSyntaxElement* attribute);
    // An attribute that kept the span of its value's source text (a value holding a reference
    // to an undeclared entity): that text is copied, not the value.
    void outputAttributeSource(const KelStringBase& name, const XmlKelSyntaxElement& attribute,
                               const KelValue& value, const KelStringBase& quote);
    void outputCDataSection(const KelStringBase& text);
    void outputIgnorableWhiteSpace(const KelStringBase& text);
    void outputProcessingInstruction(const KelStringBase& target, const KelStringBase& data);
    void outputXmlComment(const KelStringBase& text);
    void outputEntityReference(const KelStringBase& name);
    void outputParameterEntityReference(const KelStringBase& name);   // %name;
    // Refuses (E_XmlP_InvalidElementNameFound, the name as insert) a name that is not an XML Name,
    // and one the output page cannot hold.
    void checkName(const KelStringBase& name, const char* function);
    // Text that holds no references (a comment, an instruction, a name) and so must be written
    // in the output page as it stands: refused (E_Kel_ConversionFailed, with the place in the
    // input of the element being written, when it came from there) when the page lacks one of
    // its characters. `what` says where the character stands ("in a comment").
    void checkPageHolds(const KelStringBase& text, const char* what, const char* function);
    // Refuses (E_XmlP_validateTree, the text as insert) text written as it stands that holds a
    // character no XML version lets stand there: a control character but tab, line feed and
    // carriage return, NUL, U+FFFE, U+FFFF.
    void checkCharacters(const KelStringBase& text, const char* function);
    [[noreturn]] void refuseCharacters(const KelStringBase& text, const char* function);
    // Kinds with markup of their own in element content (elements, comments, instructions, white
    // space); text, sections, attributes and reference marks have their own cases.
    static bool isWrittenInContent(int type) noexcept;
    // The declarations a part of another parser brings along; below an element they are passed over.
    static bool isPrologOfGraftedPart(int type) noexcept;
    // Refuses (E_XmlP_validateTree, the name as insert) an element of this parser's family that
    // no markup in content stands for.
    [[noreturn]] void refuseUnwritable(KelSyntaxElement* element);
    // Refuses (E_XmlP_validateTree, the name of the child as insert) text, a CDATA section or an
    // attribute of this parser's family that has children: they would not be written.
    void refuseChildrenOfLeaf(KelSyntaxElement* leaf);
    // Refuses (E_XmlP_validateTree, the text as insert) a part of the XML declaration that is not valid.
    void checkDeclarationPart(bool valid, const KelStringBase& text, const char* function);
    static bool isCharacterOfEveryVersion(char16_t u) noexcept;
    // Whether the document being written declares XML 1.1, which carries control characters
    // as references.
    bool writesXml11();
    void outputXmlDeclBegin();
    void outputXmlDeclEnd();
    void outputXmlVersion(const KelStringBase& text);
    void outputXmlEncoding(const KelStringBase& text);
    void outputXmlStandAlone(const KelStringBase& text);
    void outputDocTypeBegin(const KelStringBase& name, bool escape);
    void outputDocTypeEnd();
    void closeDocTypeAfterSubset();
    void outputInternalSubsetBegin();
    void outputInternalSubsetEnd();
    void outputPublicId(const KelStringBase& text);
    void outputSystemId(const KelStringBase& text);
    void outputSystemLiteral(const KelStringBase& text);
    void refuseUnquotable(const KelStringBase& text, const char* function);
    void outputNotationReference(const KelStringBase& name);
    void outputEntityDeclarationBegin(const KelStringBase& name);
    void outputParameterEntityDeclarationBegin(const KelStringBase& name);
    void outputNotationDeclarationBegin(const KelStringBase& name);
    void outputEntityDeclarationEnd(const KelStringBase& name);
    void outputNotationDeclarationEnd(const KelStringBase& name);
    void outputElementDef(const KelStringBase& name, const KelStringBase& model, bool escape);
    void outputAttListBegin(const KelStringBase& name, bool escape);
    void outputAttDef(const KelStringBase& name, bool escape, bool leadingSpace);
    void outputAttListEnd();
    void outputAttributeDefDefaultType(KelStringBase text);
    // An attribute's type, written as it stands by the prolog writer: refused unless XML reads it.
    void checkAttributeType(const KelStringBase& keyword, const KelStringBase& enumeration);
    void outputEntityValue(const KelStringBase& text);
    void outputAttDefValue(const KelStringBase& text);

    int iOutputCodepage;
    int iOutputEncoding;
    XmlKelParser* iOwner;
    bool iSpanReuse;
    XmlBufferedOutput iOutput;       // pending text, conversion, copying: the bytes of a write

    int iPauseDepth;                 // open entity references whose expansion is being skipped
    XmlPrologWriter iProlog;         // the prolog and the document type definition
    XmlDocTypeCloseTracker iDocTypeClose;
    std::vector<Frame> iStack;       // kept between calls so deep documents allocate once
    KelStringBase iPiece;            // work string for pieces built by the primitives
    long iBytesCopied = 0;           // last write: bytes copied from spans
    long iBytesWritten = 0;          // last write: all bytes added to the buffer
    // The attribute names of the start tag being written, so that a name set twice is refused
    // instead of written (a reader refuses a tag that repeats one).
    std::vector<KelStringBase> iAttributeNames;
    std::unordered_set<KelStringBase, KelStringBaseHash> iAttributeNameSet;
    XmlTagSource iTagSource;   // the start tag being written from its source; reused across tags
    // The element whose markup is being written anew, for the place of a refused conversion.
    KelSyntaxElement* iSubject = nullptr;

    // ---- references carried in from another document
    // The general entities the document being written declares, read from its document type
    // when a reference first asks; open when that document may declare more than it shows (an
    // external subset, a parameter entity reference in its subset).
    struct EntityScope {
        bool known = false;
        bool open = false;
        std::unordered_set<KelStringBase, KelStringBaseHash> names;
    };
    EntityScope iEntities;
    KelSyntaxElement* iDocument = nullptr;   // the root being written
    // Elements of another parser whose bytes hold a reference the document written does not
    // declare (and the elements above them up to the one asked about): written as markup.
    std::unordered_set<const KelSyntaxElement*> iCarriesReference;
    const EntityScope& entityScope();
    bool declaresEntity(const KelStringBase& name);
    // Whether `element`'s own bytes may not be copied: it comes from another parser's document
    // and a reference of its subtree names an entity this document does not declare.
    bool carriesUndeclaredReference(KelSyntaxElement* element);

    // Names moved away from the declarations of their prefixes. The tree keeps names as written
    // and declarations as attributes: an element or attribute a user moved or copied, written
    // where no declaration of its prefix is in scope, would make the message unreadable to every
    // reader that reads namespaces, so the write is refused naming the prefix. Elements and
    // attributes that stand where they were read are not looked at.
    std::unordered_set<const KelSyntaxElement*> iPrefixesChecked;   // moved elements looked at
    void checkMovedPrefixes(KelSyntaxElement* element);
    struct MovedScope;   // the prefixes a moved subtree declares along the walk, and those above it
    // Checks one element of the moved subtree `top`; returns its first child element.
    KelSyntaxElement* checkMovedElement(KelSyntaxElement* e, KelSyntaxElement* top, MovedScope& scope);
    void checkMovedPrefix(const KelStringBase& prefix, KelSyntaxElement* top, MovedScope& scope);
    void checkMovedAttributePrefix(KelSyntaxElement* attribute);
    // Whether a declaration of `prefix` stands on `element` or an element above it.
    bool declaredAbove(KelSyntaxElement* element, const KelStringBase& prefix);
    [[noreturn]] void refuseUndeclaredPrefix(const KelStringBase& prefix);
    void checkRenamedPrefix(KelSyntaxElement* element);
};

// KelParserInspector: what tools may ask a parser plug-in about its parsers and elements beyond
// the host's message-tree interface (readable type names, span reuse, work counters), so that a
// tool can show them without linking the plug-in. An interface; the plug-in owns the object for
// as long as it is loaded. Thread rules: const and stateless, any thread; the parser and element
// arguments follow their own parser's thread rules.
#pragma once

class KelParser;
class KelSyntaxElement;
class KelWriteBuffer;

// Counters of one parser since its last bitstream or write; -1 where the plug-in cannot tell.
struct KelParserStatistics {
    long elementsBuilt = -1;      // elements taken from the parser's element pool
    long scanSteps = -1;          // progressive scan steps run by the tree builder
    long bytesFromSpans = -1;     // bytes the last write copied unchanged from the input
    long bytesAsMarkup = -1;      // bytes the last write produced anew (markup, converted text)
    long xmlElementsChecked = -1; // XML elements (tags) the last check without a tree met
};

// Where an element's text lies in the bitstream it was parsed from: bytes [begin, end) in `ccsid`
// (UTF-16 in the byte order `bigEndian` gives).
struct KelElementSpan {
    const unsigned char* begin = nullptr;
    const unsigned char* end = nullptr;
    int ccsid = 0;
    bool bigEndian = false;
};

class KelParserInspector {
public:
    virtual ~KelParserInspector() = default;
    // A readable name for an element type code, or null for a code the plug-in does not know.
    virtual const char* elementTypeName(int typeCode) const = 0;
    // True when the element still knows its original bytes and a write would copy them.
    virtual bool hasReusableSpan(const KelSyntaxElement* element) const = 0;
    virtual KelParserStatistics statistics(const KelParser* parser) const = 0;
    // The element's original span; false when it has none (changed, built by hand, or met in an
    // entity's replacement text). The bytes belong to the element's parser.
    virtual bool originalSpan(const KelSyntaxElement* element, KelElementSpan& span) const {
        (void)element;
        (void)span;
        return false;
    }
    // Appends `element` and all it holds to `buffer` in `ccsid`, as a write of its document
    // would write it where it stands (no declaration, no byte-order mark), so that a tool can show
    // one element as the message would carry it; fails as that write fails, with the buffer as it
    // was. False when the plug-in cannot write one element on its own.
    virtual bool writeElement(KelSyntaxElement* element, KelWriteBuffer& buffer, int ccsid) const {
        (void)element;
        (void)buffer;
        (void)ccsid;
        return false;
    }
    // Tells the parser that its input is known to be well-formed, so that a write need not check
    // bytes it passes on unscanned; a parser that never checks ignores it.
    virtual void trustInput(KelParser* parser, bool trusted) const {
        (void)parser;
        (void)trusted;
    }
};

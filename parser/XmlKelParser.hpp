// XmlKelParser: the parser of the XML, JMSMap and JMSStream domains (one class; the domain kind
// only changes the root name and the parser class name). It owns one tree builder, which scans
// the bitstream on demand as the host navigates, and one tree writer, which writes the tree back
// copying unchanged stretches of the input. Elements are XmlKelSyntaxElement objects in the
// host's element pool. Thread rules: one thread at a time per parser.
#pragma once

#include "host/KelParser.hpp"
#include "host/KelStringBase.hpp"

class KelParserException;
class XmlBrokerOrvaneParser;
class XmlBrokerOrvaneWriter;
class XmlTreelessChecker;
struct XmlBuilderLimits;

class XmlKelParser : public KelParser {
public:
    enum DomainKind { KindXml = 0, KindJmsMap = 1, KindJmsStream = 2 };

    XmlKelParser(KelMessageGroup* group, bool spanReuse);
    XmlKelParser(KelMessageGroup* group, const KelStringBase& domainName, int domainKind, bool spanReuse);
    ~XmlKelParser() override;

    void initialize() override;
    int refreshElementsFromBitStream(const KelMessage* message, const KelBuffer& bitStream, int encoding,
                                     int ccsid) override;
    using KelParser::refreshElementsFromBitStream;
    int refreshBitStreamFromElements(const KelMessage* message, KelWriteBuffer* buffer, KelSyntaxElement* element,
                                     int encoding, int ccsid) override;
    using KelParser::refreshBitStreamFromElements;
    // Writes one element of this parser's tree, where it stands, as a write of its document would
    // write it there (unchanged stretches copied, the rest checked and written anew), without a
    // declaration or byte-order mark and without the declarations of the prefixes above it:
    // how an element is shown on its own. Fails as the whole write fails (E_XmlP_WriteError),
    // handing the buffer back at the length it had; E_XmlP_InvParams nested for no buffer, the
    // root (the whole message) or an element of another parser.
    int writeFragment(KelWriteBuffer* buffer, KelSyntaxElement* element, int encoding, int ccsid);
    void validate() override;
    void parseFirstChild(KelSyntaxElement* element) override;
    void parseLastChild(KelSyntaxElement* element) override;
    void parseRightSibling(KelSyntaxElement* element) override;
    void parseLeftSibling(KelSyntaxElement* element) override;
    void parseAhead(KelSyntaxElement* element, std::size_t steps) override;
    void setParserDomainName(const KelStringBase& name) override;
    bool parserType() const override;
    const KelStringBase& parserGroupName() const override;
    const KelStringBase& parserClassName() const override;
    void callElementConstructor(void* storage) override;
    // Runs a tree-less check with the tree builder's limits; failures are raised as navigation
    // raises them (E_XmlP_ParseError with the scanner's exception nested).
    long checkBitStream(const KelBuffer& bitStream, int encoding, int ccsid) override;
    bool holdsElement(const KelSyntaxElement* element) const override;
    // The element types that may stand beside the document element (the same answer, for callers
    // without a parser at hand).
    static bool isValidTopLevelType(int typeCode) noexcept;
    // The XML elements (tags) the last checkBitStream met; -1 before the first.
    long xmlElementsChecked() const noexcept;
    // A write of a partly scanned tree appends the input after the scan frontier as it stands;
    // before it does, the whole bitstream is checked without a tree (once per bitstream), so a
    // broken rest fails the write as it fails navigation. A host whose input is known to be
    // well-formed (its own output, say) may set trusted input to skip that check. Off by default.
    void setTrustedInput(bool trusted) noexcept { iTrustedInput = trusted; }
    bool trustedInput() const noexcept { return iTrustedInput; }

    static KelStringBase className();
    static KelStringBase rootName();
    static const KelStringBase& staticFunctionName();

    // Tree checks.
    void validateTree(KelSyntaxElement* element);
    void checkForBodyElement(KelSyntaxElement* element);

    // The bounds on one document (builder/XmlBuilderLimits.hpp), for hosts that do not include
    // the tree builder. Set them before giving the parser its first message.
    const XmlBuilderLimits& limits() const noexcept;
    void setLimits(const XmlBuilderLimits& limits);

    // For tools and tests.
    const KelStringBase& domainName() const noexcept { return iDomainName; }
    int domainKind() const noexcept { return iDomainKind; }
    XmlBrokerOrvaneParser* treeBuilder() const noexcept { return iTreeBuilder; }
    // rootElement() without the virtual call: the tree builder asks at every end tag.
    KelSyntaxElement* builtRoot() const noexcept { return storedRootElement(); }
    XmlBrokerOrvaneWriter* treeWriter() const noexcept { return iTreeWriter; }

    static const KelStringBase kName;              // "file:///"
    static const KelStringBase wcsSlash;           // "/"
    static const KelStringBase wcsPlingDashDash;   // "!--"

protected:
    const KelStringBase& functionName() const;
    bool validateElement(KelSyntaxElement* element);
    bool isElementAValidTopLevel(int typeCode);

public:
    // Whether a namespace declaration (an xmlns or xmlns:p attribute) was ever read into or named
    // in this parser's trees: an element moved away from them may leave its prefixes undeclared.
    bool declaresNamespaces() const noexcept { return iDeclaresNamespaces; }
    // The same for the message in hand (its bitstream as far as it was read, and what the host
    // named since): a name the host gives a prefix there relies on a declaration.
    bool messageDeclaresNamespaces() const noexcept { return iMessageDeclaresNamespaces; }
    void noteNamespaceDeclaration() noexcept { iDeclaresNamespaces = iMessageDeclaresNamespaces = true; }

private:
    // Gives a write failure that knows the byte offset of its element in the input its line and
    // column there.
    void locateWriteFailure(KelParserException& failure) const;
    // Runs one step of a write, raising what fails in it as the write's failure.
    template <class Step> int asWrite(Step step);
    // Drives the builder until `done()` holds; a scan that can go no further raises the parse
    // error instead of looping.
    template <class Done> void scanUntil(KelSyntaxElement* element, const char* function, Done done);
    // The scans behind parseFirstChild and parseRightSibling, with their failures translated as
    // those calls raise them; the calls add only the trace scope, and only while tracing is on.
    __attribute__((noinline)) void scanToFirstChild(KelSyntaxElement* element);
    __attribute__((noinline)) void scanToRightSibling(KelSyntaxElement* element);
    // The tree-less check of the stored bitstream, run once per bitstream.
    void checkStoredBitStream();
    bool isStoredBitStream(const KelBuffer& bitStream, int encoding, int ccsid) const noexcept;
    // The one judgement of an empty bitstream, for navigation and the tree-less check alike: it
    // holds no document, the fault the tree checks call "no body".
    void refuseEmptyBitStream(const KelBuffer& bitStream) const;

    KelStringBase iDomainName;
    XmlBrokerOrvaneParser* iTreeBuilder;
    XmlBrokerOrvaneWriter* iTreeWriter;
    int iDomainKind;
    XmlTreelessChecker* iChecker = nullptr;   // made at the first check, kept for the next
    bool iTrustedInput = false;
    // What the check of the stored bitstream found (elements, XML elements); -1 until it ran.
    long iStoredChecked = -1;
    long iStoredXmlElements = -1;
    long iLastXmlElements = -1;   // what the last checkBitStream met
    bool iNoBytesGiven = false;   // a bitstream of no bytes was given (a tree built by hand has none, and is no fault)
    bool iDeclaresNamespaces = false;
    bool iMessageDeclaresNamespaces = false;
};

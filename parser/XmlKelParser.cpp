#include "parser/XmlKelParser.hpp"

#include "builder/XmlBrokerOrvaneParser.hpp"
#include "builder/XmlErrorLocator.hpp"
#include "builder/XmlTreelessChecker.hpp"
#include "host/KelConverter.hpp"
#include "host/KelSubtreeOrder.hpp"
#include "host/KelSyntaxElementAccess.hpp"
#include "host/KelThrow.hpp"
#include "host/KelWriteBuffer.hpp"
#include "common/XmlElementType.hpp"
#include "parser/XmlKelSyntaxElement.hpp"
#include "writer/XmlBrokerOrvaneWriter.hpp"
#include "writer/XmlDeclarationEncoding.hpp"
#include "writer/XmlFrontierCopier.hpp"

#include <cstring>
#include <memory>
#include <new>

const KelStringBase XmlKelParser::kName(u"file:///");
const KelStringBase XmlKelParser::wcsSlash(u"/");
const KelStringBase XmlKelParser::wcsPlingDashDash(u"!--");

namespace {
const KelStringBase kRootNameXml(u"XML");
const KelStringBase kClassNameXml(u"XML");
const KelStringBase kGroupName(u"xml");
const KelStringBase kRootNameJmsMap(u"JMSMap");
const KelStringBase kClassNameJmsMap(u"jms_map");
const KelStringBase kRootNameJmsStream(u"JMSStream");
const KelStringBase kClassNameJmsStream(u"jms_stream");

const KelStringBase& rootNameOf(int kind) {
    switch (kind) {
    case XmlKelParser::KindJmsMap: return kRootNameJmsMap;
    case XmlKelParser::KindJmsStream: return kRootNameJmsStream;
    default: return kRootNameXml;
    }
}
} // namespace

XmlKelParser::XmlKelParser(KelMessageGroup* group, bool spanReuse)
    : XmlKelParser(group, KelStringBase(), KindXml, spanReuse) {}

XmlKelParser::XmlKelParser(KelMessageGroup* group, const KelStringBase& domainName, int domainKind, bool spanReuse)
    : KelParser(group, sizeof(XmlKelSyntaxElement)), iTreeBuilder(nullptr), iTreeWriter(nullptr),
      iDomainKind(domainKind) {
    KelTraceScope trace(this, "XmlKelParser::XmlKelParser", static_cast<const void*>(group), domainName, spanReuse);
    std::unique_ptr<XmlBrokerOrvaneParser> builder(new (std::nothrow) XmlBrokerOrvaneParser(this, spanReuse));
    if (!builder)
        kelThrow<KelParserException>(this, KEL_HERE, "XmlKelParser::XmlKelParser", KelMsg::E_XmlP_OrvaneParserNewing);
    std::unique_ptr<XmlBrokerOrvaneWriter> writer(new XmlBrokerOrvaneWriter(this, spanReuse));
    iTreeBuilder = builder.release();
    iTreeWriter = writer.release();
}

XmlKelParser::~XmlKelParser() {
    KelTraceScope trace(this, "XmlKelParser::~XmlKelParser");
    delete iTreeBuilder;
    delete iTreeWriter;
    delete iChecker;
}

void XmlKelParser::initialize() {
    KelTraceScope trace(this, "XmlKelParser::initialize");
    KelParser::initialize();
    iNoBytesGiven = false;   // until a bitstream comes, the tree under the new root is built by hand
    iMessageDeclaresNamespaces = false;
    KelSyntaxElement* root = elementPool().createElement();
    KelSyntaxElementAccess::parserSetType(root, XmlTypeRoot);
    KelSyntaxElementAccess::parserSetName(root, rootNameOf(iDomainKind));
    setRootElement(root);
}

// Called for every element the builder makes: while debug tracing is off it only constructs,
// without the trace scope's frame.
void XmlKelParser::callElementConstructor(void* storage) {
    if (!KelLog::isDebugActive()) {
        if (storage) new (storage) XmlKelSyntaxElement(this);
        return;
    }
    [this, storage]() __attribute__((noinline)) {
        KelDebugTraceScope trace(this, "KelXmlParser::callElementConstructor", storage);
        if (storage) new (storage) XmlKelSyntaxElement(this);
    }();
}

void XmlKelParser::setParserDomainName(const KelStringBase& name) { iDomainName = name; }
bool XmlKelParser::parserType() const { return true; }
const KelStringBase& XmlKelParser::parserGroupName() const { return kGroupName; }

const KelStringBase& XmlKelParser::parserClassName() const {
    switch (iDomainKind) {
    case KindJmsMap: return kClassNameJmsMap;
    case KindJmsStream: return kClassNameJmsStream;
    default: return kGroupName;
    }
}

const XmlBuilderLimits& XmlKelParser::limits() const noexcept { return iTreeBuilder->limits(); }

void XmlKelParser::setLimits(const XmlBuilderLimits& limits) {
    iTreeBuilder->setLimits(limits);
    iStoredChecked = -1;
}

KelStringBase XmlKelParser::className() { return kClassNameXml; }
KelStringBase XmlKelParser::rootName() { return kRootNameXml; }
const KelStringBase& XmlKelParser::staticFunctionName() { return kName; }
const KelStringBase& XmlKelParser::functionName() const { return kName; }

// ---------------------------------------------------------------------------------------------
// On-demand parsing

int XmlKelParser::refreshElementsFromBitStream(const KelMessage* message, const KelBuffer& bitStream, int encoding,
                                               int ccsid) {
    KelTraceScope trace(this, "XmlKelParser::refreshElementsFromBitStream", static_cast<const void*>(message),
                        static_cast<const void*>(&bitStream), encoding, ccsid);
    KelParser::refreshElementsFromBitStream(message, bitStream, encoding, ccsid);
    iStoredChecked = -1;
    iMessageDeclaresNamespaces = false;
    // A new bitstream is a new document: the elements of the previous one are released (not
    // left under the root beside the new ones, nor piling up in the pool message after message).
    // The root itself stays: it may stand in another parser's tree, which must keep its links.
    if (rootElement() && rootElement()->knownFirstChild()) {
        iTreeBuilder->setParsedBufferInfo(nullptr, ccsid, encoding);
        // Elements the host moved into another tree stay there; their spans point into the
        // bitstream being let go, so they are written as markup from now on.
        releaseElementsBelowRoot([](KelSyntaxElement* kept) {
            auto* xml = static_cast<XmlKelSyntaxElement*>(kept);
            xml->setBufferStart(nullptr);
            xml->setBufferEnd(nullptr);
        });
    }
    if (!rootElement()) initialize();
    KelSyntaxElementAccess::clearComplete(rootElement());
    // Told once here rather than asked at every navigation: the stored bitstream changes only here.
    iNoBytesGiven = storedBitStream().length() == 0;
    // The builder gets the stored bitstream, so every span points into bytes this parser keeps.
    iTreeBuilder->setParsedBufferInfo(&storedBitStream(), ccsid, encoding);
    return static_cast<int>(bitStream.length());
}

template <class Done>
void XmlKelParser::scanUntil(KelSyntaxElement* element, const char* function, Done done) {
    (void)function;
    if (done()) return;
    if (iNoBytesGiven) refuseEmptyBitStream(storedBitStream());
    KelSyntaxElement* root = storedRootElement();
    do {
        bool rootComplete = root && root->isCompleteLeft() && root->isCompleteRight();
        if (rootComplete || !iTreeBuilder->canScan()) {
            // The scan can go no further. After a failure the failure is the answer; otherwise
            // nothing more will ever arrive for this element, so it is as complete as it gets.
            if (const KelException* failure = iTreeBuilder->lastError()) failure->throwThis();
            KelSyntaxElementAccess::setCompleteLeft(element);
            KelSyntaxElementAccess::setCompleteRight(element);
            if (element->parent()) {
                KelSyntaxElementAccess::setCompleteLeft(element->parent());
                KelSyntaxElementAccess::setCompleteRight(element->parent());
            }
            return;
        }
        if (KelLog::isTraceActive()) iTreeBuilder->parseNextItem();
        else iTreeBuilder->parseNextItemChecked();
    } while (!done());
}

// Navigation calls come once per element a walk passes, and one scanner step usually settles
// them: while tracing is off they go straight to the scan, without the trace scope's frame.
// While it is on, entry and exit lines are written around the same scan.
void XmlKelParser::parseFirstChild(KelSyntaxElement* element) {
    if (!KelLog::isTraceActive()) return scanToFirstChild(element);
    // Out of line, so that the untraced call needs no frame of its own.
    [this, element]() __attribute__((noinline)) {
        KelTraceScope trace(this, "XmlKelParser::parseFirstChild", static_cast<const void*>(element));
        scanToFirstChild(element);
    }();
}

void XmlKelParser::scanToFirstChild(KelSyntaxElement* element) {
    try {
        scanUntil(element, "XmlKelParser::parseFirstChild", [element] { return element->isCompleteLeft(); });
    } catch (const KelParserException& e) {
        kelThrow<KelParserException>(this, KEL_HERE, "XmlKelParser::parseFirstChild", KelMsg::E_XmlP_ParseError, e);
    }
}

void XmlKelParser::parseLastChild(KelSyntaxElement* element) {
    KelTraceScope trace(this, "KelXmlParser::parseLastChild", static_cast<const void*>(element));
    try {
        scanUntil(element, "KelXmlParser::parseLastChild", [element] { return element->isCompleteRight(); });
    } catch (const KelParserException& e) {
        kelThrow<KelParserException>(this, KEL_HERE, "KelXmlParser::parseLastChild", KelMsg::E_XmlP_ParseError, e);
    }
}

void XmlKelParser::parseRightSibling(KelSyntaxElement* element) {
    if (!KelLog::isTraceActive()) return scanToRightSibling(element);
    [this, element]() __attribute__((noinline)) {
        KelTraceScope trace(this, "KelXmlParser::parseRightSibling", static_cast<const void*>(element));
        scanToRightSibling(element);
    }();
}

void XmlKelParser::scanToRightSibling(KelSyntaxElement* element) {
    KelSyntaxElement* parent = element->parent();
    try {
        scanUntil(element, "KelXmlParser::parseRightSibling", [element, parent] {
            return !parent || element->hasKnownNextSibling() || parent->isCompleteRight();
        });
    } catch (const KelParserException& e) {
        kelThrow<KelParserException>(this, KEL_HERE, "KelXmlParser::parseRightSibling", KelMsg::E_XmlP_ParseError, e);
    }
}

void XmlKelParser::parseAhead(KelSyntaxElement* element, std::size_t steps) {
    if (element == nullptr || element->isCompleteRight() || !iTreeBuilder->canScan()) return;
    KelSyntaxElement* root = rootElement();
    if (!root) return;
    // The walk that asked will reach every element built here, in order: a failure is left to
    // the navigation that reaches it (the builder keeps it and raises it again from there), so
    // reading ahead never fails a walk that stops before it.
    try {
        for (; steps > 0 && !element->isCompleteRight() && !(root->isCompleteLeft() && root->isCompleteRight()) &&
               iTreeBuilder->canScan();
             --steps) {
            if (KelLog::isTraceActive()) iTreeBuilder->parseNextItem();
            else iTreeBuilder->parseNextItemChecked();
        }
    } catch (const KelException&) {
    }
}

void XmlKelParser::parseLeftSibling(KelSyntaxElement* element) {
    KelTraceScope trace(this, "XmlKelParser::parseLeftSibling", static_cast<const void*>(element));
}

// ---------------------------------------------------------------------------------------------
// Serialisation entry

void XmlKelParser::locateWriteFailure(KelParserException& failure) const {
    // The writer knows the byte offset in the input of what it could not write; people read
    // lines and columns, as for a parse error.
    const KelBuffer& input = storedBitStream();
    if (failure.hasDocumentPosition() || failure.documentOffset() < 0 || input.data() == nullptr ||
        failure.documentOffset() > input.length())
        return;
    const unsigned char* data = input.data();
    const long length = input.length();
    const int ccsid = storedCcsid();
    long mark = 0;
    bool bigEndian = (storedEncoding() & 0x0F) != 2;
    if (KelConverter::isUtf16Ccsid(ccsid) && length >= 2 &&
        ((data[0] == 0xFE && data[1] == 0xFF) || (data[0] == 0xFF && data[1] == 0xFE))) {
        mark = 2;
        bigEndian = data[0] == 0xFE;
    } else if (ccsid == 1208 && length >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
        mark = 3;
    }
    try {
        XmlErrorLocator locator(data, length, ccsid, bigEndian, mark);
        failure.setDocumentPosition(locator.positionOf(failure.documentOffset()));
    } catch (const KelException&) {
        // No place is better than losing the failure itself.
    }
}

template <class Step> int XmlKelParser::asWrite(Step step) {
    // A recoverable failure while writing is the write's; a parse failure met on the way stays its cause.
    try {
        return step();
    } catch (KelParserException& e) {
        locateWriteFailure(e);
        kelThrow<KelParserException>(this, KEL_HERE, "XmlKelParser::refreshBitStreamFromElements",
                                     KelMsg::E_XmlP_WriteError, e);
    } catch (const KelRecoverableException& e) {
        kelThrow<KelParserException>(this, KEL_HERE, "XmlKelParser::refreshBitStreamFromElements",
                                     KelMsg::E_XmlP_WriteError, e);
    }
}

namespace {
// A write that fails hands the buffer back as it took it: the bytes of a message cut off part
// way (a name or comment the page cannot carry, met after thousands of records were flushed)
// would otherwise stand after what the host put there before, as if they were a message.
struct TakenBackUnlessWritten {
    KelWriteBuffer* buffer;
    const long used;
    bool written = false;
    ~TakenBackUnlessWritten() {
        if (written || buffer == nullptr) return;
        buffer->setUsed(used);
        if (buffer->data() != nullptr && used >= 0 && used < buffer->capacity()) buffer->data()[used] = 0;
    }
};

// The host sets the used length as it likes: a write goes on only from one whose bytes, and the
// zero byte after them, lie inside the buffer (else it would write outside it, or hand back bytes
// never written as part of the message).
void refuseUsedLengthOutside(const KelParser* parser, const KelWriteBuffer& buffer, const char* function) {
    const long used = buffer.used();
    if (used == 0 ? buffer.capacity() >= 0 : used > 0 && used < buffer.capacity()) return;
    kelThrow<KelParserException>(parser, KEL_HERE, function, KelMsg::E_XmlP_InvParams, static_cast<const void*>(&buffer),
                                 used, buffer.capacity());
}
} // namespace

int XmlKelParser::refreshBitStreamFromElements(const KelMessage* message, KelWriteBuffer* buffer,
                                               KelSyntaxElement* element, int encoding, int ccsid) {
    KelTraceScope trace(this, "XmlKelParser::refreshBitStreamFromElements", static_cast<const void*>(message),
                        static_cast<const void*>(buffer), static_cast<const void*>(element), encoding, ccsid);
    asWrite([&] {
        // Refused as the writer refuses them, before either way below follows them.
        if (buffer == nullptr || element == nullptr)
            kelThrow<KelParserException>(this, KEL_HERE, "XmlKelParser::refreshBitStreamFromElements",
                                         KelMsg::E_XmlP_InvParams, static_cast<const void*>(buffer),
                                         static_cast<const void*>(element));
        refuseUsedLengthOutside(this, *buffer, "XmlKelParser::refreshBitStreamFromElements");
        // Written without them, the message would silently miss what the host put in it.
        if (lostElements())
            kelThrow<KelRecoverableException>(this, KEL_HERE, "XmlKelParser::refreshBitStreamFromElements",
                                              KelMsg::E_Kel_ElementsLost, rootElement()->describeParent());
        return 0;
    });
    TakenBackUnlessWritten takenBack{buffer, buffer->used()};
    const KelBuffer& stored = storedBitStream();
    // A declaration that names another page than the one the bytes are in (a message converted
    // with its declaration kept, or a ccsid given against it) is not handed back: the write below
    // names the page in it.
    if (reuseBitStream() && element == rootElement() && encoding == storedEncoding() && ccsid == storedCcsid() &&
        !XmlDeclarationEncoding::declaresAnotherPage(stored.data(), stored.length(), ccsid, encoding)) {
        // The stored bitstream still stands for the whole tree: one block copy.
        const int copied = asWrite([&] {
            long n = stored.length() > 0 ? stored.length() : 0;
            if (buffer->capacity() < buffer->used() + n + 1) buffer->enlarge(buffer->used() + n + 1);
            buffer->append(stored.data(), n);
            return static_cast<int>(n);
        });
        takenBack.written = true;
        return copied;
    }
    // A partly scanned tree may be written up to the scan frontier, with the input's own bytes
    // after it; only the built part is then checked and written.
    XmlFrontierCopier frontier(this, iTreeWriter);
    const bool atFrontier = asWrite([&] { return frontier.prepare(element, ccsid); });
    // The rest is passed on unscanned: it must be a document's rest, as a full parse would have
    // found, before any of it is appended. A broken rest is the input's fault, raised as
    // navigation and validate() raise it.
    if (atFrontier && !iTrustedInput) checkStoredBitStream();
    const int used = asWrite([&] {
        if (atFrontier)
            frontier.validateBuiltPart();
        else
            validateTree(element);
        return iTreeWriter->writeBuffer(buffer, element, ccsid, encoding, atFrontier ? &frontier : nullptr);
    });
    takenBack.written = true;
    return used;
}

int XmlKelParser::writeFragment(KelWriteBuffer* buffer, KelSyntaxElement* element, int encoding, int ccsid) {
    KelTraceScope trace(this, "XmlKelParser::writeFragment", static_cast<const void*>(buffer),
                        static_cast<const void*>(element), encoding, ccsid);
    TakenBackUnlessWritten takenBack{buffer, buffer != nullptr ? buffer->used() : 0};
    const int used = asWrite([&] {
        // The root is the whole message, which refreshBitStreamFromElements writes; text, an
        // attribute or a declaration would come out as nothing, reported as written.
        if (buffer == nullptr || element == nullptr || element->parser() != this || element == rootElement() ||
            !XmlBrokerOrvaneWriter::writesOnItsOwn(element->type()))
            kelThrow<KelParserException>(this, KEL_HERE, "XmlKelParser::writeFragment", KelMsg::E_XmlP_InvParams,
                                         static_cast<const void*>(buffer), static_cast<const void*>(element));
        refuseUsedLengthOutside(this, *buffer, "XmlKelParser::writeFragment");
        // Its end is known once all it holds is: the write needs every element it reaches whole.
        element->lastChild();
        validateElement(element);
        return iTreeWriter->writeFragment(buffer, element, ccsid, encoding);
    });
    takenBack.written = true;
    return used;
}

// ---------------------------------------------------------------------------------------------
// Tree checks

void XmlKelParser::validate() {
    KelTraceScope trace(this, "XmlKelParser::validate");
    KelParser::validate();
    validateTree(rootElement());
}

void XmlKelParser::validateTree(KelSyntaxElement* element) {
    KelTraceScope trace(this, "KelXmlParser::validateTree", static_cast<const void*>(element));
    checkForBodyElement(element);
    validateElement(element);
    bool sawXmlDecl = false;
    bool sawDocType = false;
    for (KelSyntaxElement* child = element->firstChild(); child; child = child->nextSibling()) {
        int code = child->type();
        if (!isElementAValidTopLevel(code))
            kelThrow<KelParserException>(this, KEL_HERE, "KelXmlParser::validateTree",
                                         KelMsg::E_XmlP_InvalidTopLevelElement, child->name());
        if (code == XmlTypeXmlDecl) {
            if (sawXmlDecl)
                kelThrow<KelParserException>(this, KEL_HERE, "KelXmlParser::validateTree", KelMsg::E_XmlP_validateTree,
                                             child->name());
            sawXmlDecl = true;
        } else if (code == XmlTypeDocTypeDecl) {
            if (sawDocType)
                kelThrow<KelParserException>(this, KEL_HERE, "KelXmlParser::validateTree", KelMsg::E_XmlP_validateTree,
                                             child->name());
            sawDocType = true;
        }
    }
}

void XmlKelParser::checkForBodyElement(KelSyntaxElement* element) {
    KelTraceScope trace(this, "XmlKelParser::checkForBodyElement", static_cast<const void*>(element));
    int bodies = 0;
    for (KelSyntaxElement* child = element->firstChild(); child; child = child->nextSibling())
        if (child->type() == XmlTypeElement) ++bodies;
    if (bodies != 1)
        kelThrow<KelParserException>(this, KEL_HERE, "XmlKelParser::checkForBodyElement", KelMsg::E_XmlP_NoBody);
}

bool XmlKelParser::validateElement(KelSyntaxElement* element) {
    // Visits the subtree in document order by its links rather than by recursion: documents may
    // nest deeper than the stack.
    KelSyntaxElement* e = element;
    while (e) {
        if (e->type() == XmlTypeElement) {
            const KelStringBase& name = e->name();
            bool invalid = name.empty() ||
                           (name.length() >= 3 && name.view().substr(0, 3) == wcsPlingDashDash.view()) ||
                           name.find(u'/') != KelStringBase::npos;
            if (invalid)
                kelThrow<KelParserException>(this, KEL_HERE, "XmlKelParser::checkElementName()",
                                             KelMsg::E_XmlP_InvalidElementNameFound, name);
        }
        e = kelNextInSubtree(e, element);
    }
    return true;
}

bool XmlKelParser::isElementAValidTopLevel(int typeCode) { return isValidTopLevelType(typeCode); }

bool XmlKelParser::isValidTopLevelType(int typeCode) noexcept {
    switch (typeCode) {
    case XmlTypeElement:
    case XmlTypeRoot:
    case XmlTypeXmlDecl:
    case XmlTypeDocTypeDecl:
    case XmlTypeWhiteSpace:
    case XmlTypeComment:
    case XmlTypeProcessingInstruction:
    case XmlTypeNameValueLeaf: return true;
    default: return false;
    }
}

// ---------------------------------------------------------------------------------------------
// Checking without a tree

long XmlKelParser::checkBitStream(const KelBuffer& bitStream, int encoding, int ccsid) {
    KelTraceScope trace(this, "XmlKelParser::checkBitStream", static_cast<const void*>(&bitStream), encoding, ccsid);
    // The stored bitstream is checked once: a write that checked it leaves nothing to scan again.
    const bool stored = isStoredBitStream(bitStream, encoding, ccsid);
    if (stored && iStoredChecked >= 0) {
        iLastXmlElements = iStoredXmlElements;
        return iStoredChecked;
    }
    if (iChecker == nullptr) iChecker = new XmlTreelessChecker(this);
    try {
        refuseEmptyBitStream(bitStream);
        const long elements = static_cast<long>(
            iChecker->check(bitStream, ccsid, encoding, iTreeBuilder->limits(), rootNameOf(iDomainKind)));
        iLastXmlElements = static_cast<long>(iChecker->xmlElements());
        if (stored) {
            iStoredChecked = elements;
            iStoredXmlElements = iLastXmlElements;
        }
        return elements;
    } catch (const KelParserException& e) {
        kelThrow<KelParserException>(this, KEL_HERE, "XmlKelParser::checkBitStream", KelMsg::E_XmlP_ParseError, e);
    }
}

bool XmlKelParser::isStoredBitStream(const KelBuffer& bitStream, int encoding, int ccsid) const noexcept {
    const KelBuffer& stored = storedBitStream();
    return bitStream.data() == stored.data() && bitStream.length() == stored.length() &&
           encoding == storedEncoding() && ccsid == storedCcsid();
}

void XmlKelParser::refuseEmptyBitStream(const KelBuffer& bitStream) const {
    // Absent bytes and no bytes are the same nothing: a message body of length 0 may come either way.
    if (bitStream.length() == 0)
        kelThrow<KelParserException>(this, KEL_HERE, "XmlKelParser::refuseEmptyBitStream", KelMsg::E_XmlP_NoBody);
}

void XmlKelParser::checkStoredBitStream() {
    checkBitStream(storedBitStream(), storedEncoding(), storedCcsid());
}

long XmlKelParser::xmlElementsChecked() const noexcept { return iLastXmlElements; }

bool XmlKelParser::holdsElement(const KelSyntaxElement* element) const {
    return iTreeBuilder->holdsElement(element);
}

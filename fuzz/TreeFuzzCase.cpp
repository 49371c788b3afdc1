#include "fuzz/TreeFuzzCase.hpp"

#include "host/KelBuffer.hpp"
#include "host/KelException.hpp"
#include "host/KelMessageGroup.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelWriteBuffer.hpp"
#include "common/XmlElementType.hpp"
#include "parser/XmlKelParser.hpp"
#include "parser/XmlParserPlugin.hpp"
#include "writer/XmlDeclarationEncoding.hpp"
#include "tests/support/CanonicalTreeSerialiser.hpp"
#include "tests/support/KnownFaults.hpp"
#include "tests/support/LibxmlCanonicalReader.hpp"
#include "tests/support/OutputPage.hpp"

#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

namespace {

// Code pages a message may come in or be written in; 4242 is one no converter knows.
const int kCcsids[] = {1208, 1200, 13488, 819, 1252, 37, 500, 1047, 850, 943, 1386, 367, 923, 5050, 4242};
constexpr int kCcsidCount = sizeof(kCcsids) / sizeof(kCcsids[0]);
// Stateful double-byte EBCDIC pages (shift-out and shift-in bytes), chosen by their own selector
// bits so that the rounds above keep their pages.
const int kStatefulCcsids[] = {930, 939, 1390, 1399, 5026, 5035};
constexpr int kStatefulCount = sizeof(kStatefulCcsids) / sizeof(kStatefulCcsids[0]);
constexpr int kBigEndian = 273;     // 0x111
constexpr int kLittleEndian = 546;  // 0x222, the native value

// Texts that edits put into values: markup characters, line ends, characters of several scripts
// and one outside the basic plane, so escaping and code-page coverage are both exercised.
const char16_t* const kValuePieces[] = {u"a", u"Z9", u" ", u"<", u">", u"&", u"\"", u"'", u"\t", u"\n", u"\r",
                                        u"]]>", u"\u00e9", u"\u00df", u"\u20ac", u"\u4e2d", u"\u0416",
                                        u"\U0001F600", u"&amp;", u"--", u"?>", u"-", u"\u3042", u"\uff21"};
const char16_t* const kNamePieces[] = {u"a", u"b", u"x1", u"_", u"-", u".", u"\u00e9", u"\u4e2d", u"\u0416", u"\u3042"};
// Names that are not XML names: the tree checks or the writer must refuse them.
const char16_t* const kBadNames[] = {u"b c", u"1a", u"", u"a>b", u"xml", u"XmL", u"a:", u"-a"};
// What edits turn elements into: the types that stand in content, and one that does not.
const int kContentTypes[] = {XmlTypeElement, XmlTypeContent, XmlTypeCData, XmlTypeComment,
                             XmlTypeProcessingInstruction, XmlTypeWhiteSpace, XmlTypeAttribute, XmlTypeEntityValue};
// Small documents grafted in through the create operations that take a parser class.
struct Graft {
    const char16_t* parserClass;
    std::string bytes;
    int encoding;
    int ccsid;
};
template <std::size_t N>
std::string bytesOf(const char (&literal)[N]) { return std::string(literal, N - 1); }
const Graft kGrafts[] = {
    {u"xml", bytesOf("<g a='1'>t&amp;<h/></g>"), 546, 1208},
    {u"jms_map", bytesOf("<?xml version='1.0'?><m><k>v</k></m>"), 546, 1208},
    {u"xml", bytesOf("\xFE\xFF\x00<\x00u\x00>\x00\xE9\x00<\x00/\x00u\x00>"), 273, 1200},
    {u"jms_stream", bytesOf("<s><!--c--><?p d?>x</s>"), 546, 1208},
};

template <std::size_t N>
KelStringBase pick(std::mt19937& rng, const char16_t* const (&pieces)[N], int count) {
    KelStringBase out;
    for (int i = 0; i < count; ++i) out.append(KelStringBase(pieces[rng() % N]));
    return out;
}

KelStringBase randomName(std::mt19937& rng) {
    // A name starts with a letter; the rest may be any name character.
    KelStringBase name(rng() % 2 ? u"n" : u"\u00e9");
    name.append(pick(rng, kNamePieces, static_cast<int>(rng() % 4)));
    return name;
}

// Elements of the tree that exist now, in document order, found through known links only (no
// scanning): what is left to use after an error.
std::vector<KelSyntaxElement*> knownElements(KelSyntaxElement* root) {
    std::vector<KelSyntaxElement*> out;
    KelSyntaxElement* e = root;
    while (e) {
        out.push_back(e);
        if (KelSyntaxElement* c = e->knownFirstChild()) {
            e = c;
            continue;
        }
        while (e != root && !e->knownNextSibling()) e = e->parent();
        e = e == root ? nullptr : e->knownNextSibling();
    }
    return out;
}

// Whether `e` is part of an entity's expansion: such text is written back as the reference, so
// an edit there cannot show in the output.
bool insideEntity(KelSyntaxElement* e) {
    for (; e != nullptr; e = e->parent()) {
        int open = 0;
        for (KelSyntaxElement* s = e->knownPreviousSibling(); s; s = s->knownPreviousSibling()) {
            if (s->typeCode() == XmlTypeEntityReferenceEnd) --open;
            if (s->typeCode() == XmlTypeEntityReferenceStart && ++open > 0) return true;
        }
    }
    return false;
}

bool isParseFailure(const KelException& e) { return e.catalogueNumber() == 5009; }
// What a write or a check may fail with: a tree check (5005 to 5008), a parse error met while
// walking (5009), a write error (5010).
bool isWriteFailure(const KelException& e) { return e.catalogueNumber() >= 5005 && e.catalogueNumber() <= 5010; }

// libxml2 reads XML 1.1 documents by the rules of 1.0 (line ends, names): it is no reader for them.
bool isXml11(KelSyntaxElement* root) {
    KelSyntaxElement* decl = root->knownFirstChild();
    if (decl == nullptr || decl->typeCode() != XmlTypeXmlDecl) return false;
    for (KelSyntaxElement* c = decl->knownFirstChild(); c; c = c->knownNextSibling())
        if (c->typeCode() == XmlTypeVersion && !c->storedValue().isNull())
            return c->storedValue().valueAsCharacter().toUtf8() == "1.1";
    return false;
}

// libxml2 reads element and attribute names by the namespace rules, which the scanner does not
// apply: a name of three colon-separated parts whose last part begins with a character that may
// only go on a name ("p:l:.x", "p:l:-x", a well-formed XML 1.0 name) ends its start tag for it
// after the second colon, a fatal error. It is no reader for a tree with such a name.
bool onlyContinuesAName(char16_t c) {
    return c == u'-' || c == u'.' || (c >= u'0' && c <= u'9') || c == 0xB7 || (c >= 0x300 && c <= 0x36F) ||
           c == 0x203F || c == 0x2040;
}
bool hasNameLibxmlCannotSplit(KelSyntaxElement* root) {
    for (KelSyntaxElement* e : knownElements(root)) {
        if (e->typeCode() != XmlTypeElement && e->typeCode() != XmlTypeAttribute) continue;
        const std::u16string_view name = e->storedName().view();
        const std::size_t first = name.find(u':');
        if (first == 0 || first == std::u16string_view::npos) continue;
        const std::size_t second = name.find(u':', first + 1);
        if (second == std::u16string_view::npos || second == first + 1 || second + 1 == name.size()) continue;
        if (!onlyContinuesAName(name[first + 1]) && onlyContinuesAName(name[second + 1])) return true;
    }
    return false;
}

// libxml2, which does not read an external parameter entity either, still applies the entity and
// attribute-list declarations after a reference to it, where XML 1.0 (5.1) says they are not
// processed: it is no reader for a tree whose subset declares one.
bool declaresExternalParameterEntity(KelSyntaxElement* root) {
    for (KelSyntaxElement* e : knownElements(root))
        if (e->typeCode() == XmlTypeExternalParameterEntityDecl) return true;
    return false;
}

// The name to give libxml2 for the input: none where a mark or the first bytes tell UTF-16 or
// UTF-8 apart, the page's name for the others.
const char* inputEncodingName(int ccsid) {
    if (ccsid == 1208 || ccsid == 1200 || ccsid == 13488 || ccsid == 17584) return nullptr;
    return OutputPage::libxmlName(ccsid);
}

bool hasEntityReference(KelSyntaxElement* root) {
    for (KelSyntaxElement* e : knownElements(root))
        if (e->typeCode() == XmlTypeEntityReferenceStart) return true;
    return false;
}

// The fuzz category of a known fault (see KnownFaults) that this round meets, or "".
std::string knownFault(const std::string& input, int inCcsid, int inEncoding, bool treeIsXml) {
    const bool utf16 = inCcsid == 1200 || inCcsid == 13488 || inCcsid == 17584;
    const auto byte = [&input](std::size_t i) { return i < input.size() ? static_cast<unsigned char>(input[i]) : 0u; };
    const bool bigMark = byte(0) == 0xFE && byte(1) == 0xFF;
    const bool littleMark = byte(0) == 0xFF && byte(1) == 0xFE;
    const bool littleValue = (inEncoding & 0x0F) == 2;
    const char* const candidates[] = {
        (utf16 && ((bigMark && littleValue) || (littleMark && !littleValue))) ? "fuzz:mark contradicts the encoding" : nullptr,
        (inCcsid == 930 || inCcsid == 939 || inCcsid == 1390 || inCcsid == 1399 || inCcsid == 5026 || inCcsid == 5035)
            ? "fuzz:stateful input page" : nullptr,
        !treeIsXml ? "fuzz:ill-formed names and values written" : nullptr,
    };
    for (const char* c : candidates)
        if (c != nullptr && KnownFaults::itemFor(c) != 0) return c;
    return std::string();
}

struct Round {
    std::mt19937 rng;
    KelMessageGroup group;
    std::unique_ptr<XmlKelParser> parser;
    bool parseFailed = false;
    std::string fault;

    void note(const std::string& what) {
        if (fault.empty()) fault = what;
    }

    // One navigation or read; a parse error is allowed (and remembered), nothing else is.
    KelSyntaxElement* step(KelSyntaxElement* at) {
        try {
            switch (rng() % 7) {
            case 0: return at->firstChild();
            case 1: return at->lastChild();
            case 2: return at->nextSibling();
            case 3: return at->previousSibling();
            case 4: return at->parent();
            case 5: (void)at->value(); return at;
            default: (void)at->name(); return at;
            }
        } catch (const KelException& e) {
            if (!isParseFailure(e)) note(std::string("navigation raised ") + e.what());
            parseFailed = true;
            return nullptr;
        }
    }

    // What the round did that may meet a known fault; see KnownFaults.
    bool attributeDefaults = false;   // the document type declaration defaults attributes
    std::vector<KelSyntaxElement*> detached;

    KelStringBase value() {
        // Now and then a whole value of markup-like or unencodable pieces.
        return pick(rng, kValuePieces, static_cast<int>(rng() % 6));
    }

    // A value of another kind than character: each setValue form of the element API.
    void setOtherValue(KelSyntaxElement* e) {
        switch (rng() % 10) {
        case 0: e->setValue(KelGmtTimeStamp{}); break;
        case 1: e->setValue(KelGmtTime{}); break;
        case 2: e->setValue(KelTimeStamp{}); break;
        case 3: e->setValue(KelTime{}); break;
        case 4: e->setValue(KelDate{}); break;
        case 5: e->setValue(-1.5e3); break;
        case 6: e->setValue(static_cast<std::int64_t>(-9007199254740993LL)); break;
        case 7: e->setValue(static_cast<int>(rng() % 1000) - 500); break;
        case 8: e->setValue(rng() % 2 == 0); break;
        default: e->setValue(KelValue(value())); break;
        }
    }

    static bool isMark(int type) { return type == XmlTypeEntityReferenceStart || type == XmlTypeEntityReferenceEnd; }
    static bool within(KelSyntaxElement* e, KelSyntaxElement* ancestor) {
        for (; e != nullptr; e = e->parent())
            if (e == ancestor) return true;
        return false;
    }

    // Where an element may go or be taken from: inside the document element, not in an entity's
    // expansion (that is written back as the reference) and not an entity mark.
    bool movable(KelSyntaxElement* e, KelSyntaxElement* body) {
        if (e == body || isMark(e->typeCode()) || insideEntity(e)) return false;
        return !(attributeDefaults && e->typeCode() == XmlTypeAttribute);
    }

    void attach(KelSyntaxElement* anchor, KelSyntaxElement* element, unsigned how) {
        switch (how % 4) {
        case 0: anchor->attachBefore(element); break;
        case 1: anchor->attachAfter(element); break;
        case 2: anchor->attachAsFirstChild(element); break;
        default: anchor->attachAsLastChild(element); break;
        }
    }

    void edit(const std::vector<KelSyntaxElement*>& elements, KelSyntaxElement* body) {
        KelSyntaxElement* e = elements[rng() % elements.size()];
        const int type = e->typeCode();
        if (insideEntity(e) || isMark(type)) return;
        KelSyntaxElement* other = elements[rng() % elements.size()];
        try {
            switch (rng() % 12) {
            case 0:
                if (e != body && !(attributeDefaults && type == XmlTypeAttribute))
                    e->setType(kContentTypes[rng() % (sizeof(kContentTypes) / sizeof(kContentTypes[0]))]);
                break;
            case 1:
                // A defaulted attribute renamed would come back, to any reader, by its default.
                if (type == XmlTypeAttribute && attributeDefaults) break;
                // Item 9 of issue 11: names that are not XML names are written as they are.
                if (rng() % 4 == 0 && !KnownFaults::isOpen(9)) e->setName(KelStringBase(kBadNames[rng() % 8]));
                else if (type != XmlTypeAttribute || !attributeDefaults) e->setName(randomName(rng));
                break;
            case 2:
            case 3: {
                KelStringBase v = value();
                // Item 9 of issue 11: comments and processing instructions that cannot be
                // written well-formed are written as they are.
                if (KnownFaults::isOpen(9) && (type == XmlTypeComment || type == XmlTypeProcessingInstruction)) {
                    const std::string text = v.toUtf8();
                    if (text.find("--") != std::string::npos || text.find("?>") != std::string::npos ||
                        (!text.empty() && text.back() == '-'))
                        v = KelStringBase(u"ok");
                }
                e->setValue(v);
                break;
            }
            case 4: setOtherValue(e); break;
            case 5: {
                // A move: an attached element to another place in the tree.
                if (!movable(e, body) || !movable(other, body) || within(other, e)) break;
                const unsigned how = rng();
                if (how % 4 >= 2 && other->typeCode() != XmlTypeElement) break;   // children go under elements
                // Item 2 of issue 11: attaching an element still attached elsewhere leaves it there too.
                if (KnownFaults::isOpen(2)) e->detach();
                attach(other, e, how);
                break;
            }
            case 6:
                if (movable(e, body)) {
                    e->detach();
                    detached.push_back(e);
                }
                break;
            case 7:
                if (type == XmlTypeElement && !(attributeDefaults && e->firstChild() != nullptr)) e->detachChildren();
                break;
            case 8: {
                // A detached element goes back somewhere.
                if (detached.empty() || !movable(other, body)) break;
                KelSyntaxElement* back = detached.back();
                const unsigned how = rng();
                if (how % 4 >= 2 && other->typeCode() != XmlTypeElement) break;
                if (within(other, back)) break;
                detached.pop_back();
                attach(other, back, how);
                break;
            }
            case 9: {
                // copy: deep or shallow, keeping the name or not; "same text" only when it is. A copy
                // into the source's own subtree (or of a descendant into its ancestor) is taken too:
                // each at most doubles the tree, and a round makes at most four edits.
                if (e == body || !movable(e, body) || other == e) break;
                if (other->typeCode() == XmlTypeAttribute || isMark(other->typeCode()) || insideEntity(other)) break;
                const bool deep = rng() % 2 == 0;
                const bool keepName = rng() % 3 == 0;
                const bool sameText = deep && !keepName && e->compare(other) == 0;
                e->copy(other, deep, keepName, sameText);
                // Item 1 of issue 11: copy does not mark what it changed; renaming marks it.
                if (KnownFaults::isOpen(1)) e->setName(KelStringBase(e->name()));
                break;
            }
            case 10: {
                // The short create forms: a new element of this parser, named or not.
                if (!movable(e, body) && e != body) break;
                const unsigned form = rng() % 8;
                if (e == body && form < 4) break;   // siblings of the document element: not here
                if (form >= 4 && type != XmlTypeElement) break;
                const bool named = form % 2 == 0;
                KelSyntaxElement* n = nullptr;
                const KelStringBase name = randomName(rng);
                switch (form) {
                case 0: n = e->createBefore(name); break;
                case 1: n = e->createBefore(); break;
                case 2: n = e->createAfter(name); break;
                case 3: n = e->createAfter(); break;
                case 4: n = e->createFirstChild(name); break;
                case 5: n = e->createFirstChild(); break;
                case 6: n = e->createLastChild(name); break;
                default: n = e->createLastChild(); break;
                }
                const int newType = named ? (rng() % 3 == 0 ? XmlTypeProcessingInstruction : XmlTypeElement)
                                          : (rng() % 2 ? XmlTypeContent : XmlTypeCData);
                n->setType(newType);
                if (newType == XmlTypeProcessingInstruction) n->setValue(KelStringBase(u"d"));
                else n->setValue(value());
                break;
            }
            default: {
                // The create forms that graft another parser's tree in.
                if (type != XmlTypeElement) break;
                const Graft& g = kGrafts[rng() % (sizeof(kGrafts) / sizeof(kGrafts[0]))];
                const std::string& bytes = g.bytes;
                const KelStringBase cls(g.parserClass);
                switch (rng() % 5) {
                case 0:
                    if (e != body) e->createBefore(cls, nullptr, bytes, {}, {}, {}, g.encoding, g.ccsid);
                    break;
                case 1:
                    if (e != body) e->createAfter(cls, nullptr, bytes, {}, {}, {}, g.encoding, g.ccsid);
                    break;
                case 2: e->createFirstChild(cls, nullptr, bytes, {}, {}, {}, g.encoding, g.ccsid); break;
                case 3: e->createLastChild(cls, nullptr, bytes, {}, {}, {}, g.encoding, g.ccsid); break;
                default: e->createLastChild(cls, nullptr, KelBuffer::fromString(bytes), g.encoding, g.ccsid); break;
                }
                break;
            }
            }
        } catch (const KelException& raised) {
            if (!isParseFailure(raised)) note(std::string("an edit raised ") + raised.what());
            parseFailed = parseFailed || isParseFailure(raised);
        }
    }
};

} // namespace

std::string TreeFuzzCase::selectorsFor(int ccsid, bool littleEndian, unsigned seed) {
    int index = 0;
    while (index < kCcsidCount && kCcsids[index] != ccsid) ++index;
    std::string s(kSelectorBytes, '\0');
    s[0] = static_cast<char>((index % kCcsidCount) | (littleEndian ? 0x80 : 0));
    s[1] = 0x01;   // span reuse on, reuse flag off, XML domain
    s[2] = static_cast<char>(index % kCcsidCount);
    s[3] = static_cast<char>(seed & 0xFF);
    s[4] = static_cast<char>((seed >> 8) & 0xFF);
    return s;
}

std::string TreeFuzzCase::run(const std::uint8_t* data, std::size_t size) {
    std::uint8_t sel[kSelectorBytes] = {};
    std::copy(data, data + std::min(size, kSelectorBytes), sel);
    const std::size_t skip = std::min(size, kSelectorBytes);
    const std::string original(reinterpret_cast<const char*>(data) + skip, size - skip);

    const bool statefulIn = (sel[1] & 0x40) != 0;
    const bool statefulOut = (sel[1] & 0x80) != 0;
    const int inCcsid = statefulIn ? kStatefulCcsids[(sel[0] & 0x7F) % kStatefulCount] : kCcsids[(sel[0] & 0x7F) % kCcsidCount];
    const int inEncoding = (sel[0] & 0x80) ? kLittleEndian : kBigEndian;
    const bool spanReuse = (sel[1] & 0x01) != 0;
    const bool reuseFlag = (sel[1] & 0x02) != 0;
    const int domain = (sel[1] >> 2) & 0x03;
    const int outEncoding = (sel[1] & 0x10) ? kLittleEndian : kBigEndian;
    const bool sameOutput = (sel[1] & 0x20) != 0;
    const int outCcsid = sameOutput ? inCcsid
                         : statefulOut ? kStatefulCcsids[sel[2] % kStatefulCount]
                                       : kCcsids[sel[2] % kCcsidCount];
    const int walkSteps = 1 + (sel[3] % 64);

    Round r;
    // The three parser classes, for the create operations that graft another parser's tree in.
    int registrations = 0;
    const KelParserRegistration* table = XmlParserPlugin::registrations(&registrations);
    for (int i = 0; i < registrations; ++i) {
        auto* factory = table[i].factory;
        r.group.registerParserFactory(KelStringBase(table[i].parserClassName),
                                      [factory](KelMessageGroup* g, bool reuse) { return std::unique_ptr<KelParser>(factory(g, reuse)); });
    }
    r.rng.seed(static_cast<unsigned>(sel[3]) | static_cast<unsigned>(sel[4]) << 8);
    r.parser = std::make_unique<XmlKelParser>(&r.group, KelStringBase(u"XML"), domain, spanReuse);
    r.parser->initialize();
    // The parser keeps its own reference to these bytes; they must come out as they went in.
    const KelBuffer input = KelBuffer::fromString(original);
    try {
        r.parser->refreshElementsFromBitStream(nullptr, input, inEncoding, inCcsid);
    } catch (const KelException& e) {
        return std::string("taking in the bitstream raised ") + e.what();
    }
    r.parser->setReuseBitStream(reuseFlag);
    KelSyntaxElement* root = r.parser->rootElement();

    // Walk in a random order.
    KelSyntaxElement* at = root;
    for (int i = 0; i < walkSteps && r.fault.empty(); ++i) {
        KelSyntaxElement* next = r.step(at);
        at = next ? next : root;
    }
    // After an error everything built so far must still be readable.
    std::vector<KelSyntaxElement*> elements = knownElements(root);
    for (KelSyntaxElement* e : elements) (void)e->storedValue().valueAsCharacter().length();

    // Edits stay inside the document element: the tree checks vouch for nothing else (a hand-made
    // document type declaration is written as it stands).
    KelSyntaxElement* body = nullptr;
    for (KelSyntaxElement* c = root->knownFirstChild(); c; c = c->knownNextSibling())
        if (c->typeCode() == XmlTypeElement) body = c;
    for (KelSyntaxElement* c = root->knownFirstChild(); c; c = c->knownNextSibling())
        if (c->typeCode() == XmlTypeDocTypeDecl)
            for (KelSyntaxElement* d : knownElements(c)) r.attributeDefaults = r.attributeDefaults || d->typeCode() == XmlTypeAttList;
    const int edits = body ? static_cast<int>(r.rng() % 5) : 0;
    for (int i = 0; i < edits && r.fault.empty(); ++i) r.edit(knownElements(body), body);
    const bool edited = edits > 0;

    try {
        r.parser->validate();
    } catch (const KelException& e) {
        if (!isWriteFailure(e)) r.note(std::string("the tree checks raised ") + e.what());
        r.parseFailed = r.parseFailed || isParseFailure(e);
    }

    KelWriteBuffer out(outCcsid);
    bool written = false;
    try {
        const int result = r.parser->refreshBitStreamFromElements(nullptr, &out, root, outEncoding, outCcsid);
        if (result != out.used())
            r.note("a write returned " + std::to_string(result) + " but wrote " + std::to_string(out.used()));
        written = true;
    } catch (const KelException& e) {
        if (!isWriteFailure(e)) r.note(std::string("a write raised ") + e.what());
    }

    if (input.toString() != original || r.parser->storedBitStream().toString() != original)
        r.note("the input bitstream was changed");
    // The input is handed back whole unless its XML declaration names another page than the one
    // it was read in (then the write names the page): such a write is held to every check below.
    const bool passThrough = reuseFlag && outCcsid == inCcsid && outEncoding == inEncoding &&
                             !XmlDeclarationEncoding::declaresAnotherPage(input.data(), input.length(), inCcsid, inEncoding);
    if (written && passThrough && out.toString() != original) r.note("a pass-through changed the bytes");

    // Written data must read back as the tree it came from, both to quarn and to libxml2, which
    // reads the output from its own mark and declaration (a pass-through of a broken input is the
    // input again, nothing to read back). Both sides go through libxml2's canonical form: the
    // tree as CanonicalTreeSerialiser writes it, and the output.
    if (written && !passThrough && !r.parseFailed && r.fault.empty()) {
        const std::string bytes = out.toString();
        const std::string state = edited ? "edited" : "unchanged";
        LibxmlReading expected;
        try {
            expected = LibxmlCanonicalReader::read(CanonicalTreeSerialiser::serialise(root));
        } catch (const KelException& e) {
            r.note("walking the written tree raised " + std::string(e.what()));
        }
        const std::string known = knownFault(original, inCcsid, inEncoding, expected.ok);
        // libxml2 reads XML 1.0 only, names it can split by the namespace rules, a subset without
        // an external parameter entity, and only in the pages iconv knows.
        const bool libxmlReads = !isXml11(root) && !hasNameLibxmlCannotSplit(root) &&
                                 !declaresExternalParameterEntity(root) && OutputPage::libxmlName(outCcsid) != nullptr;
        if (r.fault.empty() && known.empty() && libxmlReads) {
            if (!expected.ok && expected.wellFormed) {
                // libxml2 reads the tree but will not put it in canonical form (a relative
                // namespace URI): there is nothing to compare with.
            } else if (!expected.ok) {
                r.note(state + " tree written although it is not well-formed XML: " + expected.error +
                       "\n--- output ---\n" + bytes);
            } else {
                const LibxmlReading got = LibxmlCanonicalReader::read(OutputPage::withLineFeeds(bytes, outCcsid),
                                                                       OutputPage::readerEncoding(root, outCcsid));
                const bool libxmlMisreads =
                    got.ok && ((hasEntityReference(root) &&
                                LibxmlCanonicalReader::differsOnlyByEntityCarriageReturns(expected.canonical, got.canonical)) ||
                               LibxmlCanonicalReader::differsOnlyByRepeatedAttributes(expected.canonical, got.canonical));
                // A document that libxml2 refuses as it came in (a rule it holds more strictly than
                // quarn's scanner) says nothing when its output is refused too.
                const bool libxmlRefusesInput =
                    !got.ok && !LibxmlCanonicalReader::read(original, inputEncodingName(inCcsid)).ok;
                if (libxmlMisreads || libxmlRefusesInput) {
                    // tolerated while the fault is listed
                } else if (!got.ok)
                    r.note(state + " output: " + got.error + "\n--- output ---\n" + bytes);
                else if (got.canonical != expected.canonical)
                    r.note(state + " output reads differently to libxml2\n--- tree ---\n" + expected.canonical +
                           "\n--- libxml2 read ---\n" + got.canonical + "\n--- output ---\n" + bytes);
            }
        }
        if (r.fault.empty() && known.empty()) {
            KelMessageGroup group2;
            XmlKelParser reader(&group2, spanReuse);
            reader.initialize();
            const KelBuffer written2 = KelBuffer::fromString(bytes);
            try {
                reader.refreshElementsFromBitStream(nullptr, written2, outEncoding, outCcsid);
                const LibxmlReading after =
                    LibxmlCanonicalReader::read(CanonicalTreeSerialiser::serialise(reader.rootElement()));
                if (after.canonical != expected.canonical)
                    r.note(state + " output reads back different\n--- tree ---\n" + expected.canonical +
                           "\n--- read back ---\n" + (after.ok ? after.canonical : after.error) + "\n--- output ---\n" + bytes);
            } catch (const KelException& e) {
                r.note(state + " output does not parse: " + e.what() + "\n--- output ---\n" + bytes);
            }
        }
    }
    // One element written on its own (how the front door and select show a changed element) is
    // what the whole write wrote in its place: its bytes stand in the output. Not in a stateful
    // page, where the shift state a stretch starts in depends on what came before it.
    const bool statelessOut = !statefulOut && !(sameOutput && statefulIn);
    if (written && !passThrough && !r.parseFailed && r.fault.empty() && statelessOut && body != nullptr) {
        std::vector<KelSyntaxElement*> candidates;
        // Elements in content all the way up: one put below a comment or text is not written.
        auto inContent = [body](KelSyntaxElement* e) {
            for (; e != body; e = e->parent())
                if (e == nullptr || e->typeCode() != XmlTypeElement) return false;
            return true;
        };
        for (KelSyntaxElement* e : knownElements(body))
            if (inContent(e) && e->parser() == r.parser.get() && !insideEntity(e)) candidates.push_back(e);
        if (!candidates.empty()) {
            KelSyntaxElement* shown = candidates[r.rng() % candidates.size()];
            KelWriteBuffer alone(outCcsid);
            try {
                r.parser->writeFragment(&alone, shown, outEncoding, outCcsid);
                if (out.toString().find(alone.toString()) == std::string::npos)
                    r.note("an element written on its own is not what the write wrote\n--- element ---\n" +
                           alone.toString() + "\n--- output ---\n" + out.toString());
            } catch (const KelException& e) {
                r.note(std::string("an element written on its own raised ") + e.what() + " where the write did not");
            }
        }
    }
    if (!r.fault.empty())
        r.fault += "\n[in " + std::to_string(inCcsid) + "/" + std::to_string(inEncoding) + " out " +
                   std::to_string(outCcsid) + "/" + std::to_string(outEncoding) + (spanReuse ? " spans" : "") +
                   (reuseFlag ? " reuse" : "") + "]";
    return r.fault;
}

#include "fuzz/TreeFuzzCase.hpp"

#include "host/KelBuffer.hpp"
#include "host/KelException.hpp"
#include "host/KelMessageGroup.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelWriteBuffer.hpp"
#include "parser/XmlElementType.hpp"
#include "parser/XmlKelParser.hpp"

#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace {

// Code pages a message may come in or be written in; 4242 is one no converter knows.
const int kCcsids[] = {1208, 1200, 13488, 819, 1252, 37, 500, 1047, 850, 943, 1386, 367, 923, 5050, 4242};
constexpr int kCcsidCount = sizeof(kCcsids) / sizeof(kCcsids[0]);
constexpr int kBigEndian = 273;     // 0x111
constexpr int kLittleEndian = 546;  // 0x222, the native value

// Texts that edits put into values: markup characters, line ends, characters of several scripts
// and one outside the basic plane, so escaping and code-page coverage are both exercised.
const char16_t* const kValuePieces[] = {u"a", u"Z9", u" ", u"<", u">", u"&", u"\"", u"'", u"\t", u"\n", u"\r",
                                        u"]]>", u"\u00e9", u"\u00df", u"\u20ac", u"\u4e2d", u"\u0416",
                                        u"\U0001F600", u"&amp;", u"--"};
const char16_t* const kNamePieces[] = {u"a", u"b", u"x1", u"_", u"-", u".", u"\u00e9", u"\u4e2d", u"\u0416"};

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

// Attributes that the document type declares with a type other than CDATA (by element and
// attribute name; the first declaration counts). XML trims and collapses the spaces of their
// values when it reads them, so such values are compared in that form.
std::set<std::pair<std::u16string, std::u16string>> tokenAttributes(KelSyntaxElement* root) {
    std::set<std::pair<std::u16string, std::u16string>> declared, tokens;
    for (KelSyntaxElement* decl = root->firstChild(); decl; decl = decl->nextSibling()) {
        if (decl->type() != XmlTypeDocTypeDecl) continue;
        for (KelSyntaxElement* subset = decl->firstChild(); subset; subset = subset->nextSibling())
            for (KelSyntaxElement* list = subset->firstChild(); list; list = list->nextSibling()) {
                if (list->type() != XmlTypeAttList) continue;
                for (KelSyntaxElement* def = list->firstChild(); def; def = def->nextSibling()) {
                    if (def->type() != XmlTypeAttDef) continue;
                    const std::pair<std::u16string, std::u16string> key(list->name().view(), def->name().view());
                    if (!declared.insert(key).second) continue;
                    KelSyntaxElement* type = def->firstChild();
                    if (type && type->type() == XmlTypeAttDefType && type->name().view() != u"CDATA") tokens.insert(key);
                }
            }
    }
    return tokens;
}

std::u16string collapseSpaces(const std::u16string& value) {
    std::u16string out;
    for (char16_t c : value) {
        if (c == u' ' && (out.empty() || out.back() == u' ')) continue;
        out += c;
    }
    if (!out.empty() && out.back() == u' ') out.pop_back();
    return out;
}

// What a document says, as data: for each element in document order its name, its attributes
// sorted, and its text with adjacent pieces (content, CDATA, white space, entity expansions)
// joined. Walks without recursion; parses on demand, so errors reach the caller.
std::string dataOf(KelSyntaxElement* root) {
    std::u16string out;
    std::vector<std::pair<KelSyntaxElement*, KelSyntaxElement*>> open;   // element, next child
    KelSyntaxElement* body = nullptr;
    for (KelSyntaxElement* c = root->firstChild(); c; c = c->nextSibling())
        if (c->type() == XmlTypeElement) body = c;
    if (body == nullptr) return "<no body>";
    const auto tokens = tokenAttributes(root);
    auto enter = [&](KelSyntaxElement* element) {
        out += u"<";
        out += element->name().view();
        std::vector<std::pair<std::u16string, std::u16string>> attributes;
        KelSyntaxElement* c = element->firstChild();
        for (; c && c->type() == XmlTypeAttribute; c = c->nextSibling()) {
            std::u16string value(c->actualValue().valueAsCharacter().view());
            if (tokens.count({std::u16string(element->name().view()), std::u16string(c->name().view())}))
                value = collapseSpaces(value);
            attributes.emplace_back(std::u16string(c->name().view()), value);
        }
        std::sort(attributes.begin(), attributes.end());
        for (const auto& [name, value] : attributes) out += u" " + name + u"=[" + value + u"]";
        out += u">";
        open.emplace_back(element, c);
    };
    enter(body);
    while (!open.empty()) {
        KelSyntaxElement* c = open.back().second;
        if (c == nullptr) {
            out += u"</>";
            open.pop_back();
            continue;
        }
        open.back().second = c->nextSibling();
        switch (c->type()) {
        case XmlTypeElement: enter(c); break;
        case XmlTypeContent:
        case XmlTypeCData:
        case XmlTypeWhiteSpace: out += c->actualValue().valueAsCharacter().view(); break;
        case XmlTypeProcessingInstruction:
            out += u"<?" + std::u16string(c->name().view()) + u" " +
                   std::u16string(c->actualValue().valueAsCharacter().view()) + u"?>";
            break;
        default: break;   // attributes out of place, comments and entity marks carry no data here
        }
    }
    return KelStringBase(out.data(), out.size()).toUtf8();
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

    void edit(const std::vector<KelSyntaxElement*>& elements) {
        KelSyntaxElement* root = parser->rootElement();
        KelSyntaxElement* e = elements[rng() % elements.size()];
        const int type = e->typeCode();
        if (insideEntity(e)) return;
        try {
            switch (rng() % 6) {
            case 0:
                if (type == XmlTypeElement) e->setName(randomName(rng));
                break;
            case 1:
                if (type == XmlTypeElement || type == XmlTypeAttribute || type == XmlTypeContent)
                    e->setValue(pick(rng, kValuePieces, static_cast<int>(rng() % 6)));
                break;
            case 2:
                if (type == XmlTypeElement) {
                    // A new attribute under a name the element does not use yet.
                    KelStringBase name = randomName(rng);
                    for (KelSyntaxElement* c = e->firstChild(); c; c = c->nextSibling())
                        if (c->type() == XmlTypeAttribute && c->name() == name) return;
                    KelSyntaxElement* attribute = e->createFirstChild(name);
                    attribute->setType(XmlTypeAttribute);
                    attribute->setValue(pick(rng, kValuePieces, 2));
                }
                break;
            case 3:
                if (type == XmlTypeElement && e->parent() != root) {
                    KelSyntaxElement* child = e->createLastChild(randomName(rng));
                    child->setType(XmlTypeElement);
                    child->setValue(pick(rng, kValuePieces, 3));
                }
                break;
            case 4:
                // Not attributes: one that the document type defaults comes back when read.
                if (e->parent() != root && (type == XmlTypeElement || type == XmlTypeContent)) e->detach();
                break;
            default: break;
            }
        } catch (const KelException& e) {
            if (!isParseFailure(e)) note(std::string("an edit raised ") + e.what());
            parseFailed = parseFailed || isParseFailure(e);
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

    const int inCcsid = kCcsids[(sel[0] & 0x7F) % kCcsidCount];
    const int inEncoding = (sel[0] & 0x80) ? kLittleEndian : kBigEndian;
    const bool spanReuse = (sel[1] & 0x01) != 0;
    const bool reuseFlag = (sel[1] & 0x02) != 0;
    const int domain = (sel[1] >> 2) & 0x03;
    const int outEncoding = (sel[1] & 0x10) ? kLittleEndian : kBigEndian;
    const bool sameOutput = (sel[1] & 0x20) != 0;
    const int outCcsid = sameOutput ? inCcsid : kCcsids[sel[2] % kCcsidCount];
    const int walkSteps = 1 + (sel[3] % 64);

    Round r;
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
    const int edits = body ? static_cast<int>(r.rng() % 4) : 0;
    for (int i = 0; i < edits && r.fault.empty(); ++i) r.edit(knownElements(body));
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
    const bool passThrough = reuseFlag && outCcsid == inCcsid && outEncoding == inEncoding;
    if (written && passThrough && out.toString() != original) r.note("a pass-through changed the bytes");

    // Written data must read back as the tree it came from (a pass-through of a broken input
    // is the input again, nothing to read back).
    if (written && !passThrough && !r.parseFailed && r.fault.empty()) {
        std::string before;
        try {
            before = dataOf(root);
        } catch (const KelException& e) {
            r.note(std::string("reading the written tree raised ") + e.what());
        }
        KelMessageGroup group2;
        XmlKelParser reader(&group2, spanReuse);
        reader.initialize();
        const KelBuffer written2 = KelBuffer::fromString(out.toString());
        std::string after;
        try {
            reader.refreshElementsFromBitStream(nullptr, written2, outEncoding, outCcsid);
            after = dataOf(reader.rootElement());
        } catch (const KelException& e) {
            r.note(std::string(edited ? "edited" : "unchanged") + " output does not parse: " + e.what() +
                   "\n--- output ---\n" + out.toString());
        }
        if (r.fault.empty() && after != before)
            r.note(std::string(edited ? "edited" : "unchanged") + " output reads back different\n--- tree ---\n" +
                   before + "\n--- read back ---\n" + after + "\n--- output ---\n" + out.toString());
    }
    if (!r.fault.empty())
        r.fault += "\n[in " + std::to_string(inCcsid) + "/" + std::to_string(inEncoding) + " out " +
                   std::to_string(outCcsid) + "/" + std::to_string(outEncoding) + (spanReuse ? " spans" : "") +
                   (reuseFlag ? " reuse" : "") + "]";
    return r.fault;
}

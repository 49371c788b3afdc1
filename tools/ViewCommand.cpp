#include "tools/ViewCommand.hpp"

#include "host/KelParser.hpp"
#include "host/KelParserInspector.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelValue.hpp"
#include "common/XmlElementType.hpp"
#include "query/XmlNodeText.hpp"
#include "tools/CanonicalWriter.hpp"
#include "cli/ParserPlugin.hpp"
#include "tools/QuarnCommand.hpp"
#include "cli/QuarnMessage.hpp"
#include "tools/QuarnOptions.hpp"

#include <algorithm>
#include <cstdio>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {
const std::string kXmlNamespace = "http://www.w3.org/XML/1998/namespace";

std::string valueOf(KelSyntaxElement* e) { return e->value().valueAsCharacter().toUtf8(); }

struct Frame {
    KelSyntaxElement* element;
    std::string name;
    std::size_t scopeMark;    // where the element's own declarations start
    KelSyntaxElement* child;  // the child the walk is at
};

// Writes the start tag of `e`; returns its first child that is not an attribute.
KelSyntaxElement* writeStartTag(KelSyntaxElement* e, const std::string& name, CanonicalNamespaces& scope, std::size_t mark,
                                CanonicalWriter& out) {
    struct Attribute {
        std::string uri, local, name, value;
    };
    std::vector<std::pair<std::string, std::string>> declarations;   // prefix, URI
    std::vector<Attribute> attributes;
    KelSyntaxElement* c = e->firstChild();
    for (; c != nullptr && c->type() == XmlTypeAttribute; c = c->nextSibling()) {
        const std::string n = c->name().toUtf8();
        if (n == "xmlns" || n.rfind("xmlns:", 0) == 0) {
            const std::string prefix = n == "xmlns" ? std::string() : n.substr(6);
            declarations.emplace_back(prefix, valueOf(c));
            scope.bind(prefix, valueOf(c));
        } else {
            attributes.push_back(Attribute{std::string(), std::string(), n, valueOf(c)});
        }
    }
    // Attributes sort by namespace URI, then local name; an unprefixed one has no namespace.
    for (Attribute& a : attributes) {
        const std::size_t colon = a.name.find(':');
        a.local = colon == std::string::npos ? a.name : a.name.substr(colon + 1);
        if (colon != std::string::npos) a.uri = scope.uriOf(a.name.substr(0, colon), scope.mark());
    }
    std::sort(attributes.begin(), attributes.end(),
              [](const Attribute& a, const Attribute& b) { return a.uri != b.uri ? a.uri < b.uri : a.local < b.local; });
    // A declaration is written where it changes what is in scope: a repeated one says nothing new,
    // xmlns="" only undoes a default namespace of an ancestor, and the xml prefix is always bound.
    std::sort(declarations.begin(), declarations.end());
    out.startTag(name);
    for (const auto& d : declarations) {
        bool changes;
        if (d.first == "xml")
            changes = d.second != kXmlNamespace;
        else if (d.first.empty())
            changes = scope.uriOf("", mark) != d.second;
        else
            changes = !scope.bound(d.first, mark) || scope.uriOf(d.first, mark) != d.second;
        if (changes) out.attribute(d.first.empty() ? "xmlns" : "xmlns:" + d.first, d.second);
    }
    for (const Attribute& a : attributes) out.attribute(a.name, a.value);
    out.closeStartTag();
    return c;
}

// The node the walk has written, deleted once the walk knows the one after it.
KelSyntaxElement* passed(KelSyntaxElement* node) {
    KelSyntaxElement* next = node->nextSibling();
    node->detach();
    node->deleteElement();
    return next;
}

// The general entities whose references the parser expanded: those whose first declaration (the
// one that counts) gives their text in the document type. An external entity is never read and an
// undeclared one has no text: their references stand in the tree with nothing between the marks.
std::set<std::string> expandedEntities(KelSyntaxElement* doctype) {
    std::set<std::string> declared, expanded;
    KelSyntaxElement* e = doctype->firstChild();
    while (e != nullptr) {
        const int type = e->type();
        if (type == XmlTypeEntityDecl || type == XmlTypeExternalEntityDecl || type == XmlTypeUnparsedEntityDecl) {
            const std::string name = e->name().toUtf8();
            if (declared.insert(name).second && type == XmlTypeEntityDecl) expanded.insert(name);
        } else if (KelSyntaxElement* c = e->firstChild()) {
            e = c;
            continue;
        }
        while (e != nullptr && e != doctype && e->nextSibling() == nullptr) e = e->parent();
        e = (e == nullptr || e == doctype) ? nullptr : e->nextSibling();
    }
    return expanded;
}

// Whether `c` starts a reference that was not expanded (see expandedEntities()).
bool unexpandedReference(KelSyntaxElement* c, const std::set<std::string>& expanded) {
    if (c->type() != XmlTypeEntityReferenceStart) return false;
    KelSyntaxElement* next = c->nextSibling();
    return next != nullptr && next->type() == XmlTypeEntityReferenceEnd && expanded.count(valueOf(c)) == 0;
}

// The first control character of `value` but tab, line feed and carriage return, as "U+0001"
// ("" when it has none): XML 1.1 takes one as a reference, XML 1.0 not at all.
std::string firstControlCharacter(const std::string& value) {
    for (const char ch : value) {
        const auto unit = static_cast<unsigned char>(ch);
        if (unit < 0x20 && unit != '\t' && unit != '\n' && unit != '\r') {
            char name[8];
            std::snprintf(name, sizeof name, "U+%04X", unit);
            return name;
        }
    }
    return std::string();
}

// Why `document` has no canonical form ("" when it has one), found by a walk that deletes what it
// passed, as textHolders() does: a reference that was not expanded (see expandedEntities()), or,
// in an XML 1.1 message, a control character, which the canonical form (XML 1.0, for it has no
// declaration) cannot hold.
std::string withoutCanonicalForm(KelSyntaxElement* document, const std::set<std::string>& expanded, bool xml11) {
    std::vector<KelSyntaxElement*> stack{document->firstChild()};
    while (!stack.empty()) {
        KelSyntaxElement* c = stack.back();
        if (c == nullptr) {
            stack.pop_back();
            if (!stack.empty()) stack.back() = passed(stack.back());
            continue;
        }
        if (unexpandedReference(c, expanded))
            return "the entity '" + valueOf(c) +
                   "' is referenced but its replacement text is not known (an external entity, which quarn does "
                   "not read, or one declared nowhere)";
        const int type = c->type();
        if (xml11 && (type == XmlTypeContent || type == XmlTypeCData || type == XmlTypeWhiteSpace || type == XmlTypeAttribute)) {
            const std::string control = firstControlCharacter(valueOf(c));
            if (!control.empty())
                return "the XML 1.1 message holds " + control + " (in " +
                       (type == XmlTypeAttribute ? "attribute '" + c->name().toUtf8() + "'" : std::string("text")) +
                       "), which XML 1.0, the canonical form's version, cannot hold";
        }
        if (type == XmlTypeElement) {
            stack.push_back(c->firstChild());
            continue;
        }
        stack.back() = passed(c);
    }
    return std::string();
}

void writeDocumentElement(KelSyntaxElement* document, CanonicalWriter& out) {
    CanonicalNamespaces scope;
    std::vector<Frame> stack;
    const std::string rootName = document->name().toUtf8();
    stack.push_back(Frame{document, rootName, 0, writeStartTag(document, rootName, scope, 0, out)});
    while (!stack.empty()) {
        Frame& f = stack.back();
        KelSyntaxElement* c = f.child;
        if (c == nullptr) {
            out.endTag(f.name);
            scope.release(f.scopeMark);
            stack.pop_back();
            if (!stack.empty()) stack.back().child = passed(stack.back().child);
            continue;
        }
        switch (c->type()) {
        case XmlTypeElement: {
            const std::size_t mark = scope.mark();
            std::string name = c->name().toUtf8();
            KelSyntaxElement* first = writeStartTag(c, name, scope, mark, out);
            stack.push_back(Frame{c, std::move(name), mark, first});
            continue;
        }
        case XmlTypeContent:
        case XmlTypeCData:
        case XmlTypeWhiteSpace:
            out.text(valueOf(c));
            break;
        case XmlTypeComment:
            out.comment(valueOf(c));
            break;
        case XmlTypeProcessingInstruction:
            out.processingInstruction(c->name().toUtf8(), valueOf(c));
            break;
        default:
            // The markers of an entity reference: its replacement text is walked as content.
            break;
        }
        f.child = passed(c);
    }
}
} // namespace

int ViewCommand::c14n(const QuarnOptions& o, const ParserPlugin&) {
    QuarnMessage m(o, o.positional[0], true);
    // Nothing is written from a message that turns out malformed further on.
    if (m.check() < 0) m.parser()->validate();
    // The canonical form holds every entity's replacement text. An external entity's is not read
    // and an undeclared one has none; and it is XML 1.0, where an XML 1.1 message's control
    // characters have no place. Such a message is refused before anything is written. Only a
    // document type can make a reference unexpanded and yet well-formed.
    std::set<std::string> expanded;
    bool typed = false;
    const bool xml11 = m.declaresXml11();
    for (KelSyntaxElement* top = m.root()->firstChild(); top != nullptr; top = top->nextSibling()) {
        if (top->type() == XmlTypeDocTypeDecl) {
            expanded = expandedEntities(top);
            typed = true;
        }
        if (top->type() != XmlTypeElement) continue;
        if (!typed && !xml11) break;
        const std::string why = withoutCanonicalForm(top, expanded, xml11);
        if (!why.empty()) {
            std::fprintf(stderr, "quarn: %s: %s: the message has no canonical form to write\n", o.positional[0].c_str(),
                         why.c_str());
            return QuarnCommand::BadDocument;
        }
        const KelBuffer input = m.input();
        m.refresh(input);
        break;
    }
    CanonicalWriter out(o.output);
    bool afterDocumentElement = false;
    KelSyntaxElement* root = m.root();
    for (KelSyntaxElement* top = root->firstChild(); top != nullptr; top = top->nextSibling()) {
        switch (top->type()) {
        case XmlTypeElement:
            writeDocumentElement(top, out);
            afterDocumentElement = true;
            break;
        case XmlTypeComment:
        case XmlTypeProcessingInstruction:
            // Nodes outside the document element are each on a line of their own.
            if (afterDocumentElement) out.raw("\n");
            if (top->type() == XmlTypeComment)
                out.comment(valueOf(top));
            else
                out.processingInstruction(top->name().toUtf8(), valueOf(top));
            if (!afterDocumentElement) out.raw("\n");
            break;
        default:
            break;   // the declaration, the document type and whitespace are no part of the canonical form
        }
    }
    m.checkInput();
    out.finish();
    return QuarnCommand::Ok;
}

namespace {
bool isBlank(const std::string& text) {
    return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

bool isText(KelSyntaxElement* c) {
    const int type = c->type();
    return type == XmlTypeContent || type == XmlTypeWhiteSpace || type == XmlTypeCData;
}

// Whether a child makes its element hold text (CDATA, or an entity's replacement, counts as
// text): such an element is written as it is inside.
bool isTextChild(KelSyntaxElement* c) {
    const int type = c->type();
    return type == XmlTypeCData || type == XmlTypeEntityReferenceStart || (isText(c) && !isBlank(valueOf(c)));
}

// Whether whitespace in `e` is content: xml:space="preserve" says so for the element and what it
// holds, "default" ends it, and another value leaves it as the parent had it (as xmllint has it).
bool preservesSpace(KelSyntaxElement* e, bool inherited) {
    for (KelSyntaxElement* a = e->firstChild(); a != nullptr && a->type() == XmlTypeAttribute; a = a->nextSibling()) {
        if (a->name().toUtf8() != "xml:space") continue;
        const std::string value = valueOf(a);
        if (value == "preserve") return true;
        if (value == "default") return false;
    }
    return inherited;
}

// Which elements of the document element's subtree hold text, one bit each in the order their
// start tags stand. An element's indentation depends on all its children, and the format writes
// its start tag before them: looking ahead in the tree would keep every child of a wide element
// (a record file's root) alive at once. A first walk over the message, deleting what it passed,
// finds the bits instead; the format then walks the message again.
std::vector<bool> textHolders(KelSyntaxElement* document) {
    struct Holder {
        std::size_t bit;           // the element's
        KelSyntaxElement* child;   // the child the walk is at
        bool preserve;             // whitespace is content here
        bool text;                 // a child of text was seen
        bool markup;               // a child element, comment or instruction was seen
    };
    std::vector<bool> holds;
    std::vector<Holder> stack;
    auto enter = [&](KelSyntaxElement* e, bool inherited) {
        holds.push_back(false);
        stack.push_back(Holder{holds.size() - 1, e->firstChild(), preservesSpace(e, inherited), false, false});
    };
    enter(document, false);
    while (!stack.empty()) {
        Holder& h = stack.back();
        KelSyntaxElement* c = h.child;
        if (c == nullptr) {
            // Whitespace beside markup is formatting, but whitespace that is all an element holds
            // is its text (<xsl:text> </xsl:text>), as xmllint --format keeps it.
            if (h.text && !h.markup) holds[h.bit] = true;
            stack.pop_back();
            if (!stack.empty()) stack.back().child = passed(stack.back().child);
            continue;
        }
        // Preserved whitespace is text like any other: its element is written as it is inside.
        if (!holds[h.bit] && (isTextChild(c) || (h.preserve && isText(c)))) holds[h.bit] = true;
        const int type = c->type();
        if (type == XmlTypeElement || type == XmlTypeComment || type == XmlTypeProcessingInstruction) h.markup = true;
        else if (isText(c)) h.text = true;
        if (c->type() == XmlTypeElement) {
            enter(c, h.preserve);
            continue;
        }
        stack.back().child = passed(c);
    }
    return holds;
}

struct FormatFrame {
    KelSyntaxElement* element;
    std::string name;
    KelSyntaxElement* child;
    bool indented;     // one child a line; false: as it is inside
    bool open;         // the start tag still lacks its '>' (no child written yet)
    std::size_t depth;
};

KelSyntaxElement* writeFormattedStartTag(KelSyntaxElement* e, const std::string& name, CanonicalWriter& out) {
    out.startTag(name);
    KelSyntaxElement* c = e->firstChild();
    for (; c != nullptr && c->type() == XmlTypeAttribute; c = c->nextSibling()) out.attribute(c->name().toUtf8(), valueOf(c));
    return c;
}

// `holds` is textHolders() of the same document element, `expanded` expandedEntities() of the
// document type.
void writeFormattedElement(KelSyntaxElement* document, int indent, const std::vector<bool>& holds,
                           const std::set<std::string>& expanded, CanonicalWriter& out) {
    std::vector<FormatFrame> stack;
    std::size_t ordinal = 0;
    auto push = [&](KelSyntaxElement* e, bool parentIndented, std::size_t depth) {
        std::string name = e->name().toUtf8();
        KelSyntaxElement* first = writeFormattedStartTag(e, name, out);
        const bool indented = parentIndented && !(ordinal < holds.size() && holds[ordinal]);
        ++ordinal;
        stack.push_back(FormatFrame{e, std::move(name), first, indented, true, depth});
    };
    // The indentation stops growing at 60 columns, as xmllint --format's does: a message nested
    // deep would otherwise be written in the square of its size.
    const std::size_t deepest = indent > 0 ? 60 / static_cast<std::size_t>(indent) : 0;
    auto newLine = [&](std::size_t depth) {
        out.raw("\n" + std::string(std::min(depth, deepest) * static_cast<std::size_t>(indent), ' '));
    };
    push(document, true, 0);
    while (!stack.empty()) {
        FormatFrame& f = stack.back();
        KelSyntaxElement* c = f.child;
        if (c == nullptr) {
            if (f.open) {
                out.raw("/>");
            } else {
                if (f.indented) newLine(f.depth);
                out.endTag(f.name);
            }
            stack.pop_back();
            if (!stack.empty()) stack.back().child = passed(stack.back().child);
            continue;
        }
        const int type = c->type();
        const bool markup = type == XmlTypeElement || type == XmlTypeComment || type == XmlTypeProcessingInstruction;
        // A reference that was not expanded is written back as it stood, as the writer does.
        const bool kept = unexpandedReference(c, expanded);
        const bool shown = markup || kept || (isText(c) && !(f.indented && isBlank(valueOf(c))));
        if (shown) {
            if (f.open) out.closeStartTag();
            f.open = false;
            if (f.indented) newLine(f.depth + 1);
        }
        if (type == XmlTypeElement) {
            push(c, f.indented, f.depth + 1);
            continue;
        }
        if (shown && isText(c)) out.text(valueOf(c));
        if (kept) out.raw("&" + valueOf(c) + ";");
        if (type == XmlTypeComment) out.comment(valueOf(c));
        if (type == XmlTypeProcessingInstruction) out.processingInstruction(c->name().toUtf8(), valueOf(c));
        f.child = passed(c);
    }
}

// The declaration as the UTF-8 output needs it: its version and standalone kept.
void writeDeclaration(KelSyntaxElement* declaration, CanonicalWriter& out) {
    std::string version = "1.0", standalone;
    for (KelSyntaxElement* part = declaration->firstChild(); part != nullptr; part = part->nextSibling()) {
        if (part->type() == XmlTypeVersion) version = valueOf(part);
        if (part->type() == XmlTypeStandalone) standalone = valueOf(part);
    }
    out.setXml11(version == "1.1");
    out.raw("<?xml version=\"" + version + "\" encoding=\"UTF-8\"" +
            (standalone.empty() ? std::string() : " standalone=\"" + standalone + "\"") + "?>\n");
}
// The document type as it was written, in UTF-8: its bytes run up to the node after it, or,
// where that node has no bytes of its own (an element holding references), past the end of its
// last part to the '>' that closes it.
std::string documentTypeText(KelSyntaxElement* doctype, const QuarnMessage& m, const KelParserInspector& inspector) {
    const unsigned char* input = m.input().data();
    const long length = m.input().length();
    KelElementSpan span, after;
    if (!inspector.originalSpan(doctype, span) || !span.begin)
        throw std::runtime_error("the document type of the message cannot be copied");
    std::string text;
    KelSyntaxElement* next = doctype->nextSibling();
    if (next != nullptr && inspector.originalSpan(next, after) && after.begin >= span.begin) {
        text = XmlNodeText::spanText(input, length, span.begin, after.begin, span.ccsid, span.bigEndian);
    } else {
        const unsigned char* partEnd = nullptr;
        for (KelSyntaxElement* part = doctype->lastChild(); part != nullptr && partEnd == nullptr;
             part = part->previousSibling()) {
            KelElementSpan last;
            if (inspector.originalSpan(part, last) && last.end >= span.begin) partEnd = last.end;
        }
        if (partEnd == nullptr) {
            // No part with bytes of its own: a document type without an internal subset, closed by
            // the first '>' outside its quoted identifiers.
            const std::string head = XmlNodeText::spanText(input, length, span.begin,
                                                           std::min(span.begin + 4096, input + length), span.ccsid,
                                                           span.bigEndian);
            char quote = 0;
            for (std::size_t i = 0; i < head.size(); ++i) {
                const char c = head[i];
                if (quote != 0) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '[') {
                    break;
                } else if (c == '>') {
                    return head.substr(0, i + 1);
                }
            }
            throw std::runtime_error("the document type of the message cannot be copied");
        }
        text = XmlNodeText::spanText(input, length, span.begin, partEnd, span.ccsid, span.bigEndian);
        const std::size_t end = text.find_last_not_of(" \t\r\n");
        const std::size_t bracket = end == std::string::npos || end == 0 ? std::string::npos
                                                                          : text.find_last_not_of(" \t\r\n", end - 1);
        if (end != std::string::npos && text[end] == '>' && bracket != std::string::npos && text[bracket] == ']') return text.substr(0, end + 1);
        // "]" and blanks before the closing '>' take few bytes in any page.
        const std::string tail = XmlNodeText::spanText(input, length, partEnd, std::min(partEnd + 64, input + length),
                                                       span.ccsid, span.bigEndian);
        const std::size_t close = tail.find('>');
        if (close == std::string::npos) throw std::runtime_error("the document type of the message cannot be copied");
        text += tail.substr(0, close + 1);
    }
    text.erase(text.find_last_not_of(" \t\r\n") + 1);
    return text;
}
} // namespace

int ViewCommand::format(const QuarnOptions& o, const ParserPlugin& plugin) {
    QuarnMessage m(o, o.positional[0], true);
    if (m.check() < 0) m.parser()->validate();
    std::vector<bool> holds;
    for (KelSyntaxElement* top = m.root()->firstChild(); top != nullptr; top = top->nextSibling()) {
        if (top->type() != XmlTypeElement) continue;
        holds = textHolders(top);
        break;
    }
    const KelBuffer input = m.input();
    m.refresh(input);
    CanonicalWriter out(o.output);
    std::set<std::string> expanded;
    KelSyntaxElement* root = m.root();
    for (KelSyntaxElement* top = root->firstChild(); top != nullptr; top = top->nextSibling()) {
        switch (top->type()) {
        case XmlTypeXmlDecl:
            writeDeclaration(top, out);
            break;
        case XmlTypeDocTypeDecl:
            out.raw(documentTypeText(top, m, plugin.inspector()) + "\n");
            expanded = expandedEntities(top);
            break;
        case XmlTypeElement:
            writeFormattedElement(top, o.indent, holds, expanded, out);
            out.raw("\n");
            break;
        case XmlTypeComment:
            out.comment(valueOf(top));
            out.raw("\n");
            break;
        case XmlTypeProcessingInstruction:
            out.processingInstruction(top->name().toUtf8(), valueOf(top));
            out.raw("\n");
            break;
        default:
            break;   // whitespace between the top-level nodes: each is on a line of its own
        }
    }
    m.checkInput();
    out.finish();
    return QuarnCommand::Ok;
}

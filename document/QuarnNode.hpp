// quarn::Node: one node a path selected in a quarn::Document: the document itself, an element,
// an attribute, a run of text, a comment or a processing instruction. Texts are UTF-8.
// A small value that points into its document's tree: valid while the document lives and the
// node is not deleted. Thread rules: those of its document.
#pragma once

#include <optional>
#include <string>
#include <vector>

class KelSyntaxElement;

namespace quarn {

class Node {
public:
    enum class Kind { Document, Element, Attribute, Text, Comment, ProcessingInstruction };

    // Made by quarn::Document: `input` is the message's bytes, `changed` the document's record
    // that its tree may differ from them.
    Node(KelSyntaxElement* element, Kind kind, const unsigned char* input, long inputLength, bool* changed) noexcept
        : iElement(element), iKind(kind), iInput(input), iInputLength(inputLength), iChanged(changed) {}

    Kind kind() const noexcept { return iKind; }
    // The element's or attribute's name, a processing instruction's target; "" for the others.
    std::string name() const;
    // The string value: an element's text (all its descendant text in order), an attribute's
    // value, the text of a run, a comment's text.
    std::string value() const;
    // The node as XML: an element copied from its bytes in the message (converted to UTF-8) when
    // it is unchanged, and as write() writes it there when it is not (KelException where the
    // write refuses); the document as the whole message; other nodes as their value.
    std::string xml() const;

    // The element or document that holds it; none for the document itself.
    std::optional<Node> parent() const;
    // Its children in document order: elements, runs of text, comments and processing
    // instructions (not attributes: select("@*")). Built as far as they reach.
    std::vector<Node> children() const;
    // Every node `path` selects with this element (or the document) as the context, as
    // quarn::Document::select does from the document: "item/@sku", "@id", "../name".
    // std::invalid_argument for a malformed path; std::logic_error on another kind of node.
    std::vector<Node> select(const std::string& path) const;
    // The first node it selects, scanning no further; none when it selects nothing.
    std::optional<Node> first(const std::string& path) const;

    // Sets the value (an element's: its text replaces its content). The element and those above
    // it are then written anew; everything else is still copied.
    void setValue(const std::string& utf8);
    // Takes the node out of the document (not the document itself: std::logic_error).
    void remove();

    // The host element that stands for the node (the root for the document), for what the
    // document's operations do not reach.
    KelSyntaxElement* element() const noexcept {
        *iChanged = true;
        return iElement;
    }

    // Another node of the same document (for the library's own walks).
    Node at(KelSyntaxElement* element, Kind kind) const noexcept {
        return Node(element, kind, iInput, iInputLength, iChanged);
    }

private:
    // The element a path starts from; std::logic_error for a node that is no context.
    KelSyntaxElement* context() const;
    // xml() itself; xml() runs it watching a mapped file.
    std::string markup() const;

    KelSyntaxElement* iElement;
    Kind iKind;
    std::string spanText(const unsigned char* begin, const unsigned char* end, int ccsid, bool bigEndian) const;

    const unsigned char* iInput;   // the message's bytes (for its byte-order mark)
    long iInputLength;
    bool* iChanged;
};

} // namespace quarn

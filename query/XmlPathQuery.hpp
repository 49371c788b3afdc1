// XmlPathQuery: a compiled path expression over an XML-domain tree, evaluated lazily. The
// expression language is XPath 1.0 without its named axes, variables, lang() and id()
// (docs/user-guide.md, "Path queries"): absolute and relative location paths of child steps,
// '//', '.', '..', '*', '@name', '@*', text(), node(), comment(), processing-instruction(),
// predicates, unions, filtered sets ("(//a)[2]/b"), arithmetic, comparisons with node sets,
// and/or, and the core functions on strings, numbers, booleans and node sets.
//
// Evaluation walks the host tree in document order through the elements' own navigation, so it
// scans no further into a message than the answer needs: a walk stops as soon as the caller's
// visitor says so, and stops early by itself where the rules of XML say no further match can
// come (the one document element behind it, a positional predicate already passed).
// A relative path starts at the context element; for the parser's root element that is the
// document node, so "order/item[2]/@qty" names what "/order/item[2]/@qty" names.
//
// A query is an immutable value: compile once, evaluate from any number of threads at once, each
// on its own tree (a tree follows its parser's thread rules). Matches point into the caller's
// tree and are valid while it is unchanged.
#pragma once

#include "host/KelStringBase.hpp"

#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

class KelSyntaxElement;

class XmlPathQuery {
public:
    // A malformed or unsupported expression; offset() is the character where it went wrong.
    class SyntaxError : public std::invalid_argument {
    public:
        SyntaxError(const std::string& message, std::size_t offset)
            : std::invalid_argument(message), iOffset(offset) {}
        std::size_t offset() const noexcept { return iOffset; }

    private:
        std::size_t iOffset;
    };

    // What an expression yields: nodes (a path, a union, a filtered set), a number, a string or a
    // boolean.
    enum class ResultKind { Nodes, Number, String, Boolean };

    // One node of a result. `element` is the tree element that stands for it: the root for the
    // document node, the attribute element, and for a text node the first element of the run of
    // adjacent text, CDATA and white-space elements that together make it.
    struct Match {
        enum Kind { Document, Element, Attribute, Text, Comment, ProcessingInstruction };
        KelSyntaxElement* element = nullptr;
        Kind kind = Element;
        explicit operator bool() const noexcept { return element != nullptr; }
    };

    // Prefixes bound to namespace URIs for a query, as `quarn select -N p=URI` binds them.
    using Namespaces = std::vector<std::pair<std::string, std::string>>;

    // Compiles `expression`; raises SyntaxError for a malformed one or one outside the subset.
    explicit XmlPathQuery(const std::string& expression);
    // With prefixes bound: a step "p:name" (or "p:*", "@p:name") matches the elements and
    // attributes whose name the document's own declarations in scope put in p's namespace,
    // whatever prefix the document uses (the default namespace counts for elements, never for
    // unprefixed attributes). A prefix not bound keeps its plain meaning: the name as written.
    XmlPathQuery(const std::string& expression, const Namespaces& namespaces);
    XmlPathQuery(const XmlPathQuery&);
    XmlPathQuery& operator=(const XmlPathQuery&);
    XmlPathQuery(XmlPathQuery&&) noexcept;
    XmlPathQuery& operator=(XmlPathQuery&&) noexcept;
    ~XmlPathQuery();

    const std::string& text() const noexcept { return iText; }
    ResultKind resultKind() const noexcept;

    // What an evaluation may do to the tree. Keep: it only reads (builds, as far as it reads).
    // DeletePassed, the streaming evaluation: the walk deletes every element (with its subtree)
    // below the document element that it has gone past and cannot select any more, in batches
    // every few dozen elements built, so that a query over a large message holds about one
    // record at a time; it still stops as soon as the
    // answer is known. Only for a caller that will not look at the tree afterwards and keeps no
    // match past the visit that reports it (quarn select and get). An expression that needs what
    // lies behind (last() or '..' in a predicate, a path from the top inside a predicate, unions,
    // filtered sets, more than one path from the context) is evaluated as with Keep; a step's
    // first predicate [last()] or [position() = last()] is not among them, as the walk looks
    // ahead for a later candidate instead.
    enum class TreeUse { Keep, DeletePassed };
    // Whether DeletePassed deletes anything for this expression.
    bool streams() const noexcept;

    // Calls `visit` with each node the path selects from `context`, in document order and each
    // once, until `visit` returns false; returns the number of calls. For a function of a node
    // set (count(), string(), sum() ...) the nodes are those of its first argument; other values
    // have none.
    std::size_t forEach(KelSyntaxElement* context, const std::function<bool(const Match&)>& visit,
                        TreeUse use = TreeUse::Keep) const;
    // The first node in document order (an empty Match when there is none); scans no further.
    Match first(KelSyntaxElement* context, TreeUse use = TreeUse::Keep) const;
    // Every node, in document order.
    std::vector<Match> all(KelSyntaxElement* context) const;

    // The value of the whole expression converted as XPath converts it (a node set: the
    // string-value of its first node, empty when none; true only when it has a node).
    double number(KelSyntaxElement* context, TreeUse use = TreeUse::Keep) const;
    KelStringBase string(KelSyntaxElement* context, TreeUse use = TreeUse::Keep) const;
    bool boolean(KelSyntaxElement* context, TreeUse use = TreeUse::Keep) const;
    // A number as the language writes it: NaN, Infinity, integers without ".0", no exponent.
    static KelStringBase numberText(double value);

    // The string-value of a node: the text of an element or document (its descendant text in
    // order), the value of an attribute, the whole run of a text node, a comment's text.
    static KelStringBase stringValue(const Match& match);

    // Sets the value of a node, as `quarn write --set` and quarn::Document::set do: an element's
    // text replaces its content (everything but its attributes), a text node's replaces the
    // whole run of adjacent text, an attribute's, comment's or instruction's value is replaced.
    // std::invalid_argument for the document node.
    static void setValue(const Match& match, const KelStringBase& value);
    // Takes a node out of its tree, as `quarn write --delete` and quarn::Document::remove do: a
    // text node goes with its whole run of adjacent text, CDATA sections included.
    // std::invalid_argument for the document node.
    static void remove(const Match& match);
    // The last tree element that stands for the node: for a text node the last element of its
    // run (what comes after the node comes after it), for the others `match.element`.
    static KelSyntaxElement* lastElementOf(const Match& match);
    // Sets the value of every node the path selects from `context` (all found before the first
    // changes). When it ends in "@name", the attribute is also added, after their last attribute,
    // to each element the rest of the path selects that lacks it. Returns the number of nodes
    // set or added (0: none); std::invalid_argument, before anything changes, when the path
    // selects the document node.
    std::size_t setValues(KelSyntaxElement* context, const KelStringBase& value) const;

    // When the path ends in an attribute step with a plain name ("order/@id"), that name and a
    // query for the elements that own it (so a host can create the attribute where it is
    // missing); otherwise null and an empty query.
    const KelStringBase* finalAttributeName() const noexcept;
    XmlPathQuery ownerQuery() const;

    struct Compiled;   // the parsed form, private to the engine

private:
    explicit XmlPathQuery(std::shared_ptr<const Compiled> compiled, std::string text);
    std::string iText;
    std::shared_ptr<const Compiled> iCompiled;
};

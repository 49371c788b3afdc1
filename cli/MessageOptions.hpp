// MessageOptions: what one message needs to be read, edited and written (QuarnMessage): its page,
// its domain, the edits in order, the output page and how much of the input is checked before
// bytes never scanned are passed on. The command's options and the flow's settings each hold one.
// A value type.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

class MessageOptions {
public:
    // One edit, applied in the order given. Subnode, Insert and Append add a node of `nodeType`
    // (elem, attr, text) named `name` with `value` under, before or after each node PATH selects;
    // Rename gives them the name `value`; Update sets them to `value`, or to what `expression`
    // yields with the node as its context.
    struct Edit {
        enum Kind { Set, Delete, Subnode, Insert, Append, Rename, Update } kind;
        std::string path;
        std::string value;
        std::string nodeType;
        std::string name;
        std::string expression;
        bool valueGiven = false;
        Edit(Kind k, std::string p, std::string v) : kind(k), path(std::move(p)), value(std::move(v)) {}
    };

    // Where PATH=VALUE splits: the first '=' outside predicates and quoted literals; npos if none.
    static std::size_t pathValueSeparator(const std::string& text);
    // `text` without the blanks (space, tab, CR, LF) at either end.
    static std::string trimmed(const std::string& text);
    // A ccsid as a number or a code-page name; a name may also say the byte order ("utf-16le"),
    // which sets `encoding`. Raises UsageError naming `what` (the option or setting).
    static int ccsidNamed(const std::string& what, const std::string& text, int& encoding, bool& encodingGiven);

    int ccsid = -1;             // -1: found from the message's bytes (mark, signature, declaration)
    int encoding = 546;
    bool encodingGiven = false; // --encoding, --byte-order or a ccsid name that says the byte order
    int outCcsid = -1;          // -1: the input's
    int outEncoding = -1;       // -1: the input's (only meaningful with a ccsid of -1 or given)
    bool outEncodingGiven = false;
    std::string domain = "XML";
    bool spanReuse = true;
    bool passthrough = true;
    bool declaration = true;    // add an XML declaration naming the output page where a reader needs one
    // Whether the whole input is checked before bytes never scanned are passed on.
    enum Check { CheckWhenUnscanned, CheckAlways, CheckNever } check = CheckWhenUnscanned;
    std::vector<Edit> edits;
};

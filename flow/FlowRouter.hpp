// FlowRouter: the routing rules of a flow. Each rule is a path expression (as quarn get and
// select take it) and optionally a value; it matches a message when the path selects a node
// there and, if a value is given, the first node's string-value (an element's text, an
// attribute's value) equals it. The first rule that matches gives the routing key; when none
// does, the default key. A path is evaluated no further into the message than its answer needs,
// so a field near the start routes a large message without reading the rest.
// A value type; const after construction, any thread (each on its own tree).
#pragma once

#include "query/XmlPathQuery.hpp"

#include <string>
#include <vector>

class KelSyntaxElement;

class FlowRouter {
public:
    struct Rule {
        XmlPathQuery path;
        bool hasValue = false;
        std::string value;        // UTF-8
        std::string key;
    };

    // "PATH -> KEY" or "PATH = VALUE -> KEY" (white space around the parts is not kept; the
    // value starts at the first '=' outside the path's predicates and quotes, so
    // "order[@region='EU'] -> eu" is a path alone). Throws std::invalid_argument for anything else.
    static Rule parseRule(const std::string& text);

    void add(Rule rule) { iRules.push_back(std::move(rule)); }
    void setDefaultKey(const std::string& key) { iDefaultKey = key; }
    const std::vector<Rule>& rules() const noexcept { return iRules; }
    const std::string& defaultKey() const noexcept { return iDefaultKey; }

    // The key of the first rule that matches the message under `root`, else the default key.
    const std::string& route(KelSyntaxElement* root) const;

    // A routing key the broker takes: 1 to 255 bytes.
    static void checkKey(const std::string& key);

private:
    std::vector<Rule> iRules;
    std::string iDefaultKey;
};

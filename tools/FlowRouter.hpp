// FlowRouter: the routing rules of a flow. Each rule is a path (as quarn get takes it) and
// optionally a value; it matches a message when the path names an element or attribute there
// and, if a value is given, that element's text or the attribute's value equals it. The first
// rule that matches gives the routing key; when none does, the default key. Resolving a path
// scans the message no further than the path needs, so a field near the start routes a large
// message without reading the rest. A value type; const after construction, any thread.
#pragma once

#include "tools/ElementPath.hpp"

#include <string>
#include <vector>

class KelSyntaxElement;

class FlowRouter {
public:
    struct Rule {
        ElementPath path;
        bool hasValue = false;
        std::string value;        // UTF-8
        std::string key;
    };

    // "PATH -> KEY" or "PATH = VALUE -> KEY" (white space around the parts is not kept).
    // Throws std::invalid_argument for anything else.
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

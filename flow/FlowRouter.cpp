#include "flow/FlowRouter.hpp"

#include "host/KelStringBase.hpp"
#include "cli/MessageOptions.hpp"

#include <stdexcept>

void FlowRouter::checkKey(const std::string& key) {
    if (key.empty() || key.size() > 255)
        throw std::invalid_argument("a routing key has 1 to 255 bytes, not " + std::to_string(key.size()));
}

FlowRouter::Rule FlowRouter::parseRule(const std::string& text) {
    std::size_t arrow = text.rfind("->");
    if (arrow == std::string::npos) throw std::invalid_argument("a route is PATH[=VALUE] -> KEY, not '" + text + "'");
    std::string match = text.substr(0, arrow);
    std::string key = MessageOptions::trimmed(text.substr(arrow + 2));
    if (key.empty()) throw std::invalid_argument("a route needs a key after '->': '" + text + "'");
    checkKey(key);
    // The value starts at the first '=' that is not inside a predicate or a quoted literal.
    const std::size_t eq = MessageOptions::pathValueSeparator(match);
    std::string path = MessageOptions::trimmed(match.substr(0, eq));
    if (path.empty()) throw std::invalid_argument("a route needs a path: '" + text + "'");
    Rule rule{XmlPathQuery(path), eq != std::string::npos,
              eq != std::string::npos ? MessageOptions::trimmed(match.substr(eq + 1)) : std::string(), key};
    if (rule.path.resultKind() != XmlPathQuery::ResultKind::Nodes)
        throw std::invalid_argument("a route needs a path that selects nodes, not '" + path + "'");
    return rule;
}

const std::string& FlowRouter::route(KelSyntaxElement* root) const {
    for (const Rule& rule : iRules) {
        const XmlPathQuery::Match found = rule.path.first(root);
        if (!found) continue;
        if (!rule.hasValue || XmlPathQuery::stringValue(found).toUtf8() == rule.value) return rule.key;
    }
    return iDefaultKey;
}

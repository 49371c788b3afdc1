// KelMessageGroup: the host's container for the parsers of one flow of messages. It knows how to
// create a parser by parser class name (factories registered by the parser libraries) and owns
// the parsers it creates, deleting them with itself. Thread rules: one thread at a time.
#pragma once

#include "host/KelStringBase.hpp"

#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

class KelParser;

class KelMessageGroup {
public:
    using ParserFactory = std::function<std::unique_ptr<KelParser>(KelMessageGroup* group, bool spanReuse)>;

    KelMessageGroup();
    KelMessageGroup(const KelMessageGroup&) = delete;
    KelMessageGroup& operator=(const KelMessageGroup&) = delete;
    ~KelMessageGroup();

    void registerParserFactory(const KelStringBase& parserClassName, ParserFactory factory);
    bool hasParserFactory(const KelStringBase& parserClassName) const;
    // A new, initialised parser of the class, owned by the group; raises
    // KelRecoverableException 2350 when no factory is registered for the class.
    KelParser* createParser(const KelStringBase& parserClassName, bool spanReuse = true);

private:
    std::unordered_map<KelStringBase, ParserFactory, KelStringBaseHash> iFactories;
    std::vector<std::unique_ptr<KelParser>> iParsers;
};

// KelMessageGroup: the host's container for the parsers of one flow of messages. It knows how to
// create a parser by parser class name and owns the parsers it creates, deleting them with itself.
// A factory the host registers is the group's own and is used first; otherwise the group uses the
// factory the process's registry lends for the class, for as long as the plug-in that provides it
// stays loaded: once it is unloaded, the group asks the registry again (a plug-in loaded since, or
// 2350), and keeps the old factory only so that the parsers it made keep their code.
// Thread rules: one thread at a time.
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
    // A factory as the registry lends it, kept among the group's factories: the group uses it
    // while the registration it stands for lives (its plug-in is loaded). `earlier` holds the
    // lent factory it replaced, whose plug-in still runs the parsers made from it.
    struct LentFactory {
        ParserFactory factory;
        std::weak_ptr<const void> registration;
        std::shared_ptr<const void> earlier;
        std::unique_ptr<KelParser> operator()(KelMessageGroup* group, bool spanReuse) const;
    };

    KelMessageGroup();
    KelMessageGroup(const KelMessageGroup&) = delete;
    KelMessageGroup& operator=(const KelMessageGroup&) = delete;
    ~KelMessageGroup();

    // The group's own factory for the class, used before anything the registry lends.
    void registerParserFactory(const KelStringBase& parserClassName, ParserFactory factory);
    // Whether the group has its own factory for the class.
    bool hasParserFactory(const KelStringBase& parserClassName) const;
    // A new, initialised parser of the class, owned by the group; raises
    // KelRecoverableException 2350 when neither the group nor a loaded plug-in has a factory
    // for the class.
    KelParser* createParser(const KelStringBase& parserClassName, bool spanReuse = true);

private:
    friend class KelParserRegistry;
    // A new parser of the class from the group's own factory, else from `offered` when the
    // registry gives one (the factory it lends for the class now), else from what the registry
    // lends when asked; raises 2350 when there is none.
    KelParser* createParser(const KelStringBase& parserClassName, bool spanReuse, const LentFactory* offered);

    std::unordered_map<KelStringBase, ParserFactory, KelStringBaseHash> iFactories;   // own and lent
    std::vector<std::unique_ptr<KelParser>> iParsers;
};

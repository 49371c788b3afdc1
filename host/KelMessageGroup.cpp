#include "host/KelMessageGroup.hpp"

#include "host/KelParser.hpp"
#include "host/KelParserRegistry.hpp"
#include "host/KelThrow.hpp"

KelMessageGroup::KelMessageGroup() = default;

KelMessageGroup::~KelMessageGroup() {
    // Parsers go in reverse order of creation: a later parser's tree may hold elements grafted
    // from an earlier one, never the other way round.
    while (!iParsers.empty()) iParsers.pop_back();
}

void KelMessageGroup::registerParserFactory(const KelStringBase& parserClassName, ParserFactory factory) {
    iFactories[parserClassName] = std::move(factory);
}

bool KelMessageGroup::hasParserFactory(const KelStringBase& parserClassName) const {
    return iFactories.count(parserClassName) != 0;
}

KelParser* KelMessageGroup::createParser(const KelStringBase& parserClassName, bool spanReuse) {
    auto it = iFactories.find(parserClassName);
    // A class that the group was not given may come from a plug-in loaded in the process.
    if (it == iFactories.end())
        if (ParserFactory factory = KelParserRegistry::instance().factoryForClass(parserClassName))
            it = iFactories.emplace(parserClassName, std::move(factory)).first;
    if (it == iFactories.end())
        kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelMessageGroup::createParser",
                                          KelMsg::E_Kel_UnknownParserClass, parserClassName);
    std::unique_ptr<KelParser> parser = it->second(this, spanReuse);
    parser->initialize();
    iParsers.push_back(std::move(parser));
    return iParsers.back().get();
}

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
    return createParser(parserClassName, spanReuse, nullptr);
}

namespace {
bool sameRegistration(const std::weak_ptr<const void>& a, const std::weak_ptr<const void>& b) {
    return !a.owner_before(b) && !b.owner_before(a);
}
} // namespace

KelParser* KelMessageGroup::createParser(const KelStringBase& parserClassName, bool spanReuse,
                                         const LentFactory* offered) {
    const ParserFactory* factory = nullptr;
    auto own = iFactories.find(parserClassName);
    if (own != iFactories.end()) {
        factory = &own->second;
    } else {
        // A class that the group was not given comes from a plug-in loaded in the process: the
        // one loaded now, never one unloaded since the group last made a parser of the class.
        auto lent = iLent.find(parserClassName);
        bool current = lent != iLent.end() && !lent->second.registration.expired() &&
                       (!offered || sameRegistration(lent->second.registration, offered->registration));
        if (!current) {
            LentFactory fresh = offered ? *offered : KelParserRegistry::instance().lendFactory(parserClassName);
            if (lent != iLent.end()) {
                iRetired.push_back(std::move(lent->second.factory));
                iLent.erase(lent);
            }
            lent = fresh.factory ? iLent.emplace(parserClassName, std::move(fresh)).first : iLent.end();
        }
        if (lent != iLent.end()) factory = &lent->second.factory;
    }
    if (!factory)
        kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelMessageGroup::createParser",
                                          KelMsg::E_Kel_UnknownParserClass, parserClassName);
    std::unique_ptr<KelParser> parser = (*factory)(this, spanReuse);
    parser->initialize();
    iParsers.push_back(std::move(parser));
    return iParsers.back().get();
}

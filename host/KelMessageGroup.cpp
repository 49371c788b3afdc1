#include "host/KelMessageGroup.hpp"

#include "host/KelParser.hpp"
#include "host/KelParserRegistry.hpp"
#include "host/KelThrow.hpp"

std::unique_ptr<KelParser> KelMessageGroup::LentFactory::operator()(KelMessageGroup* group, bool spanReuse) const {
    return factory(group, spanReuse);
}

KelMessageGroup::KelMessageGroup() = default;

KelMessageGroup::~KelMessageGroup() {
    // Parsers go in reverse order of creation: a later parser's tree may hold elements grafted
    // from an earlier one, never the other way round.
    while (!iParsers.empty()) iParsers.pop_back();
}

void KelMessageGroup::registerParserFactory(const KelStringBase& parserClassName, ParserFactory factory) {
    ParserFactory& slot = iFactories[parserClassName];
    if (LentFactory* lent = slot.target<LentFactory>()) {
        // The parsers the lent factory made may run the code of a plug-in unloaded since.
        auto kept = std::make_shared<LentFactory>(std::move(*lent));
        slot = [own = std::move(factory), kept](KelMessageGroup* group, bool spanReuse) {
            return own(group, spanReuse);
        };
    } else {
        slot = std::move(factory);
    }
}

bool KelMessageGroup::hasParserFactory(const KelStringBase& parserClassName) const {
    auto it = iFactories.find(parserClassName);
    return it != iFactories.end() && it->second.target<LentFactory>() == nullptr;
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
    auto it = iFactories.find(parserClassName);
    LentFactory* lent = it != iFactories.end() ? it->second.target<LentFactory>() : nullptr;
    // A class that the group was not given comes from a plug-in loaded in the process: the one
    // loaded now, never one unloaded since the group last made a parser of the class.
    if (it == iFactories.end() ||
        (lent && (lent->registration.expired() ||
                  (offered && !sameRegistration(lent->registration, offered->registration))))) {
        LentFactory fresh = offered ? *offered : KelParserRegistry::instance().lendFactory(parserClassName);
        if (!fresh.factory)
            kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelMessageGroup::createParser",
                                              KelMsg::E_Kel_UnknownParserClass, parserClassName);
        if (lent) {
            fresh.earlier = std::make_shared<LentFactory>(std::move(*lent));
            it->second = std::move(fresh);
        } else {
            it = iFactories.emplace(parserClassName, std::move(fresh)).first;
        }
    }
    std::unique_ptr<KelParser> parser = it->second(this, spanReuse);
    parser->initialize();
    iParsers.push_back(std::move(parser));
    return iParsers.back().get();
}

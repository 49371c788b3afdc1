// The parser linked into the tools tests: its domains registered once with the process's
// registry, and its inspector, as the command finds them through the plug-in.
#pragma once

#include "host/KelParserInspector.hpp"
#include "host/KelParserRegistry.hpp"
#include "parser/XmlParserPlugin.hpp"

namespace quarntest {
inline const KelParserInspector& linkedInspector() {
    static const KelParserInspector* found = [] {
        int count = 0;
        const KelParserRegistration* r = kelParserRegistrations(&count);
        for (int i = 0; i < count; ++i)
            if (!KelParserRegistry::instance().hasDomain(KelStringBase(r[i].domainName)))
                KelParserRegistry::instance().add(r[i]);
        return r[0].inspector;
    }();
    return *found;
}
} // namespace quarntest

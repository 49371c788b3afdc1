// XmlParserPlugin: what quarnparse offers a host that loads it at run time: the domains "XML",
// "JMSMap" and "JMSStream" (parser classes "xml", "jms_map", "jms_stream"), each made by a
// factory of XmlKelParser, and an inspector for tools. The library exports the registration
// table under the entry point the host registry looks for (kelParserRegistrations).
// Ownership: one inspector object for the library, built at load and released at unload.
// Thread rules: stateless; any thread.
#pragma once

#include "host/KelParserInspector.hpp"
#include "host/KelParserRegistry.hpp"

class XmlParserPlugin : public KelParserInspector {
public:
    // The plug-in's registration table (three domains); static data of the library.
    static const KelParserRegistration* registrations(int* count) noexcept;

    const char* elementTypeName(int typeCode) const override;
    bool hasReusableSpan(const KelSyntaxElement* element) const override;
    KelParserStatistics statistics(const KelParser* parser) const override;
    void trustInput(KelParser* parser, bool trusted) const override;
    bool originalSpan(const KelSyntaxElement* element, KelElementSpan& span) const override;
    bool writeElement(KelSyntaxElement* element, KelWriteBuffer& buffer, int ccsid) const override;
};

extern "C" const KelParserRegistration* kelParserRegistrations(int* count);

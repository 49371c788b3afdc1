// ParserPlugin: the quarn command's hold on the parser plug-in. It finds libquarnparse (the file
// named by $QUARN_PARSER_PLUGIN, else next to the command, in ../lib or .. from it, next to the
// host libraries, else the dynamic linker's search), loads it through the process's parser
// registry, and keeps the plug-in's inspector. Parsers are made by KelParserRegistry::createParser.
// One per run; after construction it is only read, so any thread may use it.
#pragma once

#include <memory>
#include <string>

class KelParserInspector;

class ParserPlugin {
public:
    static constexpr const char* kEnvironmentVariable = "QUARN_PARSER_PLUGIN";

    // Loads the plug-in; raises KelRecoverableException 2351 when it cannot be loaded.
    ParserPlugin();
    // Loads the plug-in, or tells the user on standard error why it could not and gives null.
    static std::unique_ptr<ParserPlugin> loadOrReport();
    ParserPlugin(const ParserPlugin&) = delete;
    ParserPlugin& operator=(const ParserPlugin&) = delete;
    ~ParserPlugin();

    const std::string& path() const noexcept { return iPath; }
    const KelParserInspector& inspector() const noexcept { return *iInspector; }

private:
    std::string iPath;
    std::shared_ptr<const KelParserInspector> iInspector;
};

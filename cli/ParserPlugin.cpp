#include "cli/ParserPlugin.hpp"

#include "host/KelException.hpp"
#include "host/KelParserRegistry.hpp"
#include "host/KelThrow.hpp"

#include <cstdio>
#include <cstdlib>

#ifndef QUARN_PLUGIN_FILE
#define QUARN_PLUGIN_FILE "libquarnparse.so.0"
#endif

std::unique_ptr<ParserPlugin> ParserPlugin::loadOrReport() {
    try {
        return std::make_unique<ParserPlugin>();
    } catch (const KelException& e) {
        std::fprintf(stderr, "quarn: cannot load the parser plug-in (set %s to its path)\n  %s\n", kEnvironmentVariable,
                     e.what());
        return nullptr;
    }
}

ParserPlugin::ParserPlugin() {
    const char* given = std::getenv(kEnvironmentVariable);
    iPath = given && *given ? std::string(given) : KelParserRegistry::locate(QUARN_PLUGIN_FILE);
    KelParserRegistry& registry = KelParserRegistry::instance();
    registry.load(iPath);
    iInspector = registry.inspector(KelStringBase(u"XML"));
    if (!iInspector) {
        registry.unload(iPath);
        kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "ParserPlugin::ParserPlugin", KelMsg::E_Kel_PluginLoad,
                                          iPath, "the plug-in serves no XML domain with an inspector");
    }
}

// The plug-in stays loaded until the process ends. Unloading it as the command finishes would free
// nothing that the exit does not, while libraries loaded with it (the scanner library's own
// dependencies) may hold thread-local storage that the exit handlers still walk.
ParserPlugin::~ParserPlugin() = default;

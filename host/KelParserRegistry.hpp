// KelParserRegistry: the process's directory of parser domains. A parser plug-in is a shared
// library loaded at run time; it exports, with C linkage, one entry point that gives the table of
// the domains it serves, each with its parser class name, a factory and an optional inspector:
//   const KelParserRegistration* kelParserRegistrations(int* count);
// Its class constants are built when it is loaded and released when it is closed.
// Parsers are created by domain name into a KelMessageGroup, which owns them. Unloading removes
// the plug-in's domains at once, and no group makes another parser from it; the library itself is
// closed when the last parser, group factory or inspector handle made from it is gone, so nothing
// ever runs code that is unmapped.
// Ownership: the registry owns its library handles; the registrations' data belong to the
// plug-in. Thread rules: every operation may be called from any thread (one lock inside).
#pragma once

#include "host/KelMessageGroup.hpp"
#include "host/KelStringBase.hpp"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

class KelParser;
class KelParserInspector;

// One domain as a plug-in registers it. The factory returns a new, uninitialised parser.
struct KelParserRegistration {
    const char16_t* domainName;        // "XML"
    const char16_t* parserClassName;   // "xml"
    KelParser* (*factory)(KelMessageGroup* group, bool spanReuse);
    const KelParserInspector* inspector; // may be null
};

class KelParserRegistry {
public:
    // Name of the plug-in entry point.
    static constexpr const char* kRegistrationsSymbol = "kelParserRegistrations";

    // The registry of the process. It is never destroyed, so plug-ins may outlive any static.
    static KelParserRegistry& instance();

    KelParserRegistry();
    KelParserRegistry(const KelParserRegistry&) = delete;
    KelParserRegistry& operator=(const KelParserRegistry&) = delete;
    ~KelParserRegistry();

    // Loads the plug-in library and registers its domains; returns their names. Loading a
    // library that is already loaded changes nothing. Raises KelRecoverableException 2351 when
    // the library cannot be loaded, lacks the entry point, registers nothing or registers a
    // domain that is already registered (then nothing of it is registered), or one that another
    // file, unloaded, still serves through parsers or handles made from it.
    std::vector<KelStringBase> load(const std::string& path);
    // Removes the domains of the plug-in loaded from `path`; false when none was loaded from it.
    bool unload(const std::string& path);
    bool isLoaded(const std::string& path) const;

    // Domains of code that is linked into the process rather than loaded; same conflict rule.
    void add(const KelParserRegistration& registration);
    bool remove(const KelStringBase& domainName);

    bool hasDomain(const KelStringBase& domainName) const;
    std::vector<KelStringBase> domains() const;
    // The parser class name of a domain; raises KelRecoverableException 2350 for an unknown domain.
    KelStringBase parserClassName(const KelStringBase& domainName) const;

    // A new, initialised parser of the domain, owned by `group`, with its domain name set.
    // Raises KelRecoverableException 2350 for an unknown domain. A factory that `group` already
    // has for the domain's parser class name is the group's own choice and is used instead.
    KelParser* createParser(const KelStringBase& domainName, KelMessageGroup& group, bool spanReuse = true);
    // A group factory for a parser class name (empty when no domain has it); it keeps the
    // plug-in loaded for as long as it exists.
    KelMessageGroup::ParserFactory factoryForClass(const KelStringBase& parserClassName) const;
    // The same, with the registration it stands for, which ends when the plug-in is unloaded:
    // what a group uses for the classes it was not given a factory of.
    KelMessageGroup::LentFactory lendFactory(const KelStringBase& parserClassName) const;
    // The inspector of a domain (null when there is none); it keeps the plug-in loaded.
    std::shared_ptr<const KelParserInspector> inspector(const KelStringBase& domainName) const;

    // The lock under which a plug-in sets up, and takes back, what it puts into the libraries it
    // shares with the rest of the process (the scanner library's tables): another file of the same
    // plug-in may be loaded beside it, and a lock of the plug-in's own would not keep the two apart.
    // Never destroyed, for the plug-ins closed as the process ends.
    static std::mutex& sharedSetupMutex();

    // Where a plug-in file is found for a program: next to the executable, in ../lib and ..
    // from it (installed and build layouts), next to the host libraries; the first that exists,
    // else `fileName` itself for the dynamic linker's own search.
    static std::string locate(const std::string& fileName);

private:
    struct Library;
    struct Entry {
        KelStringBase domainName;
        KelStringBase parserClassName;
        KelParser* (*factory)(KelMessageGroup*, bool);
        const KelParserInspector* inspector;
        std::shared_ptr<Library> library;   // null for linked-in domains
        // Lives while the domain is registered; groups hold it weakly to know their factory is current.
        std::shared_ptr<const void> registration;
    };

    const Entry* findLocked(const KelStringBase& domainName) const;
    static KelMessageGroup::ParserFactory groupFactory(const Entry& entry);

    mutable std::mutex iMutex;
    std::vector<Entry> iEntries;
    std::vector<std::shared_ptr<Library>> iLibraries;
    // Plug-ins unloaded while parsers of theirs lived on, with the domains they served: another
    // file serving one of those domains is not loaded beside them, for both would set up the
    // scanner library's tables under the same names.
    struct Unloaded {
        std::weak_ptr<Library> library;
        std::vector<KelStringBase> domains;
    };
    std::vector<Unloaded> iUnloaded;
};

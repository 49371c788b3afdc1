#include "host/KelParserRegistry.hpp"

#include "host/KelParser.hpp"
#include "host/KelThrow.hpp"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

// An open plug-in library; the last holder (registry, group factory, inspector) closes it.
struct KelParserRegistry::Library {
    std::string path;
    void* handle = nullptr;

    Library(std::string p, void* h) : path(std::move(p)), handle(h) {}
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    ~Library() { ::dlclose(handle); }
};

KelParserRegistry& KelParserRegistry::instance() {
    // Deliberately never destroyed: a plug-in may still be loaded when static objects go away.
    static KelParserRegistry* const registry = new KelParserRegistry;
    return *registry;
}

std::mutex& KelParserRegistry::sharedSetupMutex() {
    static std::mutex* const mutex = new std::mutex;
    return *mutex;
}

KelParserRegistry::KelParserRegistry() = default;

KelParserRegistry::~KelParserRegistry() {
    // Domains go before their libraries, so no entry outlives the library it points into.
    std::lock_guard<std::mutex> lock(iMutex);
    iEntries.clear();
    iLibraries.clear();
}

namespace {
std::string dlError() {
    const char* text = ::dlerror();
    return text ? text : "unknown error";
}

bool isFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string directoryOf(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}
} // namespace

const KelParserRegistry::Entry* KelParserRegistry::findLocked(const KelStringBase& domainName) const {
    for (const Entry& e : iEntries)
        if (e.domainName == domainName) return &e;
    return nullptr;
}

std::vector<KelStringBase> KelParserRegistry::load(const std::string& path) {
    KelTraceScope trace(nullptr, "KelParserRegistry::load", path);
    // Unloaded libraries looked at below; the last hold on one may go only after the lock.
    std::vector<std::shared_ptr<Library>> looked;
    std::lock_guard<std::mutex> lock(iMutex);
    for (const auto& library : iLibraries)
        if (library->path == path) {
            std::vector<KelStringBase> names;
            for (const Entry& e : iEntries)
                if (e.library == library) names.push_back(e.domainName);
            return names;
        }

    ::dlerror();
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelParserRegistry::load", KelMsg::E_Kel_PluginLoad,
                                          path, dlError());
    // The same library under another name (a link, a relative path) is the same plug-in.
    for (const auto& library : iLibraries)
        if (library->handle == handle) {
            ::dlclose(handle);
            std::vector<KelStringBase> names;
            for (const Entry& e : iEntries)
                if (e.library == library) names.push_back(e.domainName);
            return names;
        }
    // From here on the library closes itself on every way out.
    auto library = std::make_shared<Library>(path, handle);

    using Registrations = const KelParserRegistration* (*)(int*);
    auto entryPoint = reinterpret_cast<Registrations>(::dlsym(handle, kRegistrationsSymbol));
    if (!entryPoint)
        kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelParserRegistry::load", KelMsg::E_Kel_PluginLoad,
                                          path, std::string("no entry point ") + kRegistrationsSymbol);
    int count = 0;
    const KelParserRegistration* table = entryPoint(&count);
    if (!table || count <= 0)
        kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelParserRegistry::load", KelMsg::E_Kel_PluginLoad,
                                          path, "the plug-in registers no parser domain");
    std::vector<Entry> added;
    auto registration = std::make_shared<const char>('\0');
    for (int i = 0; i < count; ++i) {
        const KelParserRegistration& r = table[i];
        if (!r.domainName || !r.parserClassName || !r.factory || !*r.domainName)
            kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelParserRegistry::load", KelMsg::E_Kel_PluginLoad,
                                              path, "incomplete registration", i);
        KelStringBase domain(r.domainName);
        for (const Unloaded& u : iUnloaded) {
            std::shared_ptr<Library> still = u.library.lock();
            if (!still || still->handle == handle ||
                std::find(u.domains.begin(), u.domains.end(), domain) == u.domains.end())
                continue;
            looked.push_back(still);
            kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelParserRegistry::load", KelMsg::E_Kel_PluginLoad,
                                              path, "domain still served by the parsers of an unloaded plug-in",
                                              domain, still->path);
        }
        bool duplicate = findLocked(domain) != nullptr;
        for (const Entry& e : added) duplicate = duplicate || e.domainName == domain;
        if (duplicate)
            kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelParserRegistry::load", KelMsg::E_Kel_PluginLoad,
                                              path, "domain already registered", domain);
        added.push_back(Entry{domain, KelStringBase(r.parserClassName), r.factory, r.inspector, library, registration});
    }
    std::vector<KelStringBase> names;
    for (Entry& e : added) {
        names.push_back(e.domainName);
        iEntries.push_back(std::move(e));
    }
    iLibraries.push_back(std::move(library));
    return names;
}

bool KelParserRegistry::unload(const std::string& path) {
    KelTraceScope trace(nullptr, "KelParserRegistry::unload", path);
    std::shared_ptr<Library> library;
    std::vector<Entry> removed;
    {
        std::lock_guard<std::mutex> lock(iMutex);
        auto it = std::find_if(iLibraries.begin(), iLibraries.end(),
                               [&](const std::shared_ptr<Library>& l) { return l->path == path; });
        if (it == iLibraries.end()) return false;
        library = std::move(*it);
        iLibraries.erase(it);
        auto keep = std::stable_partition(iEntries.begin(), iEntries.end(),
                                          [&](const Entry& e) { return e.library != library; });
        std::move(keep, iEntries.end(), std::back_inserter(removed));
        iEntries.erase(keep, iEntries.end());
        iUnloaded.erase(std::remove_if(iUnloaded.begin(), iUnloaded.end(),
                                       [](const Unloaded& u) { return u.library.expired(); }),
                        iUnloaded.end());
        Unloaded unloaded{library, {}};
        for (const Entry& e : removed) unloaded.domains.push_back(e.domainName);
        iUnloaded.push_back(std::move(unloaded));
    }
    // The library may close here, outside the lock: its static destructors run now.
    removed.clear();
    library.reset();
    return true;
}

bool KelParserRegistry::isLoaded(const std::string& path) const {
    std::lock_guard<std::mutex> lock(iMutex);
    return std::any_of(iLibraries.begin(), iLibraries.end(),
                       [&](const std::shared_ptr<Library>& l) { return l->path == path; });
}

void KelParserRegistry::add(const KelParserRegistration& r) {
    std::lock_guard<std::mutex> lock(iMutex);
    if (!r.domainName || !r.parserClassName || !r.factory || !*r.domainName)
        kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelParserRegistry::add", KelMsg::E_Kel_PluginLoad,
                                          "incomplete registration");
    KelStringBase domain(r.domainName);
    if (findLocked(domain))
        kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelParserRegistry::add", KelMsg::E_Kel_PluginLoad,
                                          "domain already registered", domain);
    iEntries.push_back(Entry{domain, KelStringBase(r.parserClassName), r.factory, r.inspector, nullptr,
                             std::make_shared<const char>('\0')});
}

bool KelParserRegistry::remove(const KelStringBase& domainName) {
    std::lock_guard<std::mutex> lock(iMutex);
    auto it = std::find_if(iEntries.begin(), iEntries.end(),
                           [&](const Entry& e) { return e.domainName == domainName && !e.library; });
    if (it == iEntries.end()) return false;
    iEntries.erase(it);
    return true;
}

bool KelParserRegistry::hasDomain(const KelStringBase& domainName) const {
    std::lock_guard<std::mutex> lock(iMutex);
    return findLocked(domainName) != nullptr;
}

std::vector<KelStringBase> KelParserRegistry::domains() const {
    std::lock_guard<std::mutex> lock(iMutex);
    std::vector<KelStringBase> names;
    for (const Entry& e : iEntries) names.push_back(e.domainName);
    return names;
}

KelStringBase KelParserRegistry::parserClassName(const KelStringBase& domainName) const {
    std::lock_guard<std::mutex> lock(iMutex);
    const Entry* e = findLocked(domainName);
    if (!e)
        kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelParserRegistry::parserClassName",
                                          KelMsg::E_Kel_UnknownParserClass, domainName);
    return e->parserClassName;
}

KelMessageGroup::ParserFactory KelParserRegistry::groupFactory(const Entry& entry) {
    auto factory = entry.factory;
    std::shared_ptr<Library> library = entry.library;
    // The captured library keeps the plug-in's code mapped for as long as the group may use it.
    return [factory, library](KelMessageGroup* group, bool spanReuse) {
        return std::unique_ptr<KelParser>(factory(group, spanReuse));
    };
}

KelParser* KelParserRegistry::createParser(const KelStringBase& domainName, KelMessageGroup& group, bool spanReuse) {
    KelTraceScope trace(nullptr, "KelParserRegistry::createParser", domainName, spanReuse);
    Entry entry{};
    {
        std::lock_guard<std::mutex> lock(iMutex);
        const Entry* e = findLocked(domainName);
        if (!e)
            kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelParserRegistry::createParser",
                                              KelMsg::E_Kel_UnknownParserClass, domainName);
        entry = *e;
    }
    KelParser* parser = nullptr;
    if (group.hasParserFactory(entry.parserClassName)) {
        parser = group.createParser(entry.parserClassName, spanReuse);
    } else {
        // The domain's factory as registered now: a group that made parsers of the class from a
        // plug-in unloaded since sets that factory aside.
        KelMessageGroup::LentFactory offered{groupFactory(entry), entry.registration, nullptr};
        parser = group.createParser(entry.parserClassName, spanReuse, &offered);
    }
    parser->setParserDomainName(domainName);
    return parser;
}

KelMessageGroup::ParserFactory KelParserRegistry::factoryForClass(const KelStringBase& parserClassName) const {
    std::lock_guard<std::mutex> lock(iMutex);
    for (const Entry& e : iEntries)
        if (e.parserClassName == parserClassName) return groupFactory(e);
    return {};
}

KelMessageGroup::LentFactory KelParserRegistry::lendFactory(const KelStringBase& parserClassName) const {
    std::lock_guard<std::mutex> lock(iMutex);
    for (const Entry& e : iEntries)
        if (e.parserClassName == parserClassName) return {groupFactory(e), e.registration, nullptr};
    return {};
}

std::shared_ptr<const KelParserInspector> KelParserRegistry::inspector(const KelStringBase& domainName) const {
    std::lock_guard<std::mutex> lock(iMutex);
    const Entry* e = findLocked(domainName);
    if (!e || !e->inspector) return nullptr;
    // Shares ownership of the library, points at the plug-in's inspector.
    return std::shared_ptr<const KelParserInspector>(e->library, e->inspector);
}

std::string KelParserRegistry::locate(const std::string& fileName) {
    std::vector<std::string> directories;
    char exe[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        exe[n] = '\0';
        std::string dir = directoryOf(exe);
        directories.push_back(dir);
        directories.push_back(dir + "/../lib");
        directories.push_back(dir + "/..");
    }
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&KelParserRegistry::locate), &info) && info.dli_fname) {
        std::string dir = directoryOf(info.dli_fname);
        directories.push_back(dir);
        directories.push_back(dir + "/..");
    }
    for (const std::string& dir : directories) {
        std::string candidate = dir + "/" + fileName;
        if (isFile(candidate)) return candidate;
    }
    return fileName;
}

#include "builder/XmlKelTranscoderRegistry.hpp"

#include "builder/XmlKelTranscoder.hpp"
#include "builder/XmlUtf16Transcoder.hpp"
#include "host/KelCodePageTable.hpp"
#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "host/KelParserRegistry.hpp"

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/RefHashTableOf.hpp>
#include <xercesc/util/TransENameMap.hpp>
#include <xercesc/util/XMLUTF16Transcoder.hpp>
#include <xercesc/util/XMLUni.hpp>
#include <xercesc/framework/XMLRecognizer.hpp>

#include <unicode/ucnv.h>
#include <unicode/uenum.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <vector>

using namespace xercesc;

namespace {

// The names this library registered, so that unloading it can take them back.
std::vector<std::basic_string<XMLCh>> gRegisteredNames;
std::atomic<bool> gReady{false};

// The transcoding service's tables of names are visible only to its derived classes.
struct NameTable : XMLTransService {
    // The map registered under the name, or null.
    static ENameMap* find(const XMLCh* name) { return gMappings != nullptr ? gMappings->get(name) : nullptr; }
    static void remove(const XMLCh* name) {
        if (find(name) != nullptr) gMappings->removeKey(name);
    }
    static ENameMap* reading(XMLRecognizer::Encodings form) {
        return gMappingsRecognizer != nullptr ? gMappingsRecognizer->elementAt(form) : nullptr;
    }
    // The reading of a form the scanner recognises itself (the old one is deleted).
    static void replace(XMLRecognizer::Encodings form, ENameMap* map) {
        if (gMappingsRecognizer != nullptr) gMappingsRecognizer->setElementAt(map, form);
        else delete map;
    }
};

// One registered name: the host converter for the ccsid is looked up when the scanner first
// asks for a transcoder (the host caches it for the process), so registering costs no ICU work.
class CcsidNameMap : public ENameMap {
public:
    CcsidNameMap(const XMLCh* name, int ccsid) : ENameMap(name), iCcsid(ccsid) {}

    XMLTranscoder* makeNew(const XMLSize_t blockSize, MemoryManager* const manager) const override {
        std::string icuName;
        try {
            icuName = KelConverter::setCodepage(iCcsid, 0)->icuName();
        } catch (const KelException&) {
            return nullptr; // the scanner reports that it cannot create a converter for the name
        }
        return XmlKelTranscoder::create(getKey(), icuName.c_str(), blockSize, manager, iCcsid);
    }

private:
    int iCcsid;
};

// UTF-16 in one byte order, read by XmlUtf16Transcoder in place of the scanner library's reading.
class Utf16NameMap : public ENameMap {
public:
    Utf16NameMap(const XMLCh* name, bool bigEndian) : ENameMap(name), iBigEndian(bigEndian) {}

    XMLTranscoder* makeNew(const XMLSize_t blockSize, MemoryManager* const manager) const override {
        return new (manager) XmlUtf16Transcoder(getKey(), blockSize, iBigEndian, manager);
    }

private:
    bool iBigEndian;
};

// The scanner library reads UTF-16 by a table of its own, by byte order, whatever name it is given.
constexpr bool kMachineBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
const struct {
    XMLRecognizer::Encodings form;
    const XMLCh* name;   // the scanner library's own string: its table never points into this library
    bool bigEndian;
} kUtf16Forms[] = {{XMLRecognizer::UTF_16B, XMLUni::fgUTF16BEncodingString, true},
                   {XMLRecognizer::UTF_16L, XMLUni::fgUTF16LEncodingString, false}};

// "ibm-<digits>" exactly, in any case; -1 otherwise.
int ibmCcsid(const char* name) {
    if (name == nullptr || std::strlen(name) < 5) return -1;
    if (std::tolower(static_cast<unsigned char>(name[0])) != 'i' ||
        std::tolower(static_cast<unsigned char>(name[1])) != 'b' ||
        std::tolower(static_cast<unsigned char>(name[2])) != 'm' || name[3] != '-')
        return -1;
    long value = 0;
    for (const char* p = name + 4; *p; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p)) || value > 1000000) return -1;
        value = value * 10 + (*p - '0');
    }
    return value > 0 ? static_cast<int>(value) : -1;
}

void registerAll() {
    for (const auto& utf16 : kUtf16Forms)
        NameTable::replace(utf16.form, new Utf16NameMap(utf16.name, utf16.bigEndian));
    // The host's table, and every other "ibm-<ccsid>" that ICU knows, found by asking ICU for its names.
    std::set<int> ccsids;
    for (const KelCodePageTable::Entry& entry : KelCodePageTable::entries()) ccsids.insert(entry.ccsid);
    UErrorCode status = U_ZERO_ERROR;
    if (UEnumeration* names = ucnv_openAllNames(&status)) {
        int32_t length = 0;
        // Canonical names come with a table suffix ("ibm-1025_P100-1995"); the plain
        // "ibm-<ccsid>" is among their aliases.
        while (const char* name = uenum_next(names, &length, &status)) {
            if (U_FAILURE(status)) break;
            UErrorCode aliasStatus = U_ZERO_ERROR;
            const uint16_t aliases = ucnv_countAliases(name, &aliasStatus);
            for (uint16_t i = 0; U_SUCCESS(aliasStatus) && i < aliases; ++i) {
                const int ccsid = ibmCcsid(ucnv_getAlias(name, i, &aliasStatus));
                if (ccsid > 0) ccsids.insert(ccsid);
            }
        }
        uenum_close(names);
    }
    for (int ccsid : ccsids) {
        if (KelConverter::isUtf16Ccsid(ccsid)) continue; // UTF-16 is named "utf-16be"/"utf-16le"
        // The service looks names up in upper case.
        char narrow[32];
        const int count = std::snprintf(narrow, sizeof narrow, "CPX-%d", ccsid);
        XMLCh wide[32];
        for (int i = 0; i <= count; ++i) wide[i] = static_cast<XMLCh>(narrow[i]);
        // The service keeps the key pointer it is given: the map's own copy outlives this frame.
        auto* map = new CcsidNameMap(wide, ccsid);
        XMLTransService::addEncoding(map->getKey(), map);
        gRegisteredNames.emplace_back(wide);
    }
}

// Undoes ensureReady when the library is unloaded (or the process ends): the name maps are
// objects of this library, and the scanner library may outlive it in the process. Another copy
// of this library, loaded from another file while this one was still in use, registered the same
// names over these (the scanner library deleted ours then): its maps stay for it. The classes
// are private to each copy, so the casts tell the maps of this copy from those of another.
void releaseAll() {
    std::lock_guard<std::mutex> lock(KelParserRegistry::sharedSetupMutex());
    if (!gReady.load(std::memory_order_relaxed)) return;
    for (const auto& name : gRegisteredNames)
        if (dynamic_cast<CcsidNameMap*>(NameTable::find(name.c_str())) != nullptr) NameTable::remove(name.c_str());
    // The scanner library's own UTF-16 reading comes back for whoever else uses it.
    for (const auto& utf16 : kUtf16Forms)
        if (dynamic_cast<Utf16NameMap*>(NameTable::reading(utf16.form)) != nullptr)
            NameTable::replace(utf16.form, new EEndianNameMapFor<XMLUTF16Transcoder>(
                                               utf16.name, utf16.bigEndian != kMachineBigEndian));
    gRegisteredNames.clear();
    XMLPlatformUtils::Terminate();
    gReady.store(false, std::memory_order_release);
}

struct ReleaseAtUnload {
    ReleaseAtUnload() = default;
    ReleaseAtUnload(const ReleaseAtUnload&) = delete;
    ReleaseAtUnload& operator=(const ReleaseAtUnload&) = delete;
    ~ReleaseAtUnload() { releaseAll(); }
} gReleaseAtUnload;

} // namespace

void XmlKelTranscoderRegistry::ensureReady() {
    if (gReady.load(std::memory_order_acquire)) return;
    // Once while this library is loaded: the scanner library's initialisation is not
    // thread-safe. Its count is given back when the library is unloaded, so other users of
    // the scanner library in the process keep theirs. Another file of this plug-in, loaded
    // beside this one, sets up and takes back the same tables: one lock for both.
    std::lock_guard<std::mutex> lock(KelParserRegistry::sharedSetupMutex());
    if (gReady.load(std::memory_order_relaxed)) return;
    XMLPlatformUtils::Initialize();
    registerAll();
    gReady.store(true, std::memory_order_release);
}

// ConformanceManifest: reads the XML conformance suite's manifest (xmlconf.xml and the manifests
// it includes) into a list of test cases, each with the directory its URI is relative to.
// Owns nothing beyond the returned values. Thread rules: reading uses the scanner library, which
// must be initialised (done here); call from one thread at a time.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct ConformanceCase {
    std::string id;
    std::string type;            // valid, invalid, not-wf, error
    std::string entities;        // none (the default), general, parameter, both
    std::string uri;
    std::string output;          // canonical output, relative like uri; empty if none
    std::string recommendation;  // XML1.0 (the default), XML1.1, NS1.0, ...
    std::string version;         // XML versions the case applies to; empty for all
    std::string edition;         // editions of XML 1.0 the case applies to; empty for all
    std::string namespaces;      // "no" for cases that use colons against the namespace rules
    std::string baseDirectory;   // directory of the manifest that lists the case, with a '/'

    std::string path() const { return baseDirectory + uri; }
    std::string outputPath() const { return output.empty() ? std::string() : baseDirectory + output; }
};

class ConformanceManifest {
public:
    // Every TEST of the manifest at `path`, in manifest order. Throws std::runtime_error when the
    // manifest cannot be read.
    static std::vector<ConformanceCase> read(const std::string& path);
    // The whole file as bytes; false in `ok` (if given) when it cannot be read.
    static std::string readFile(const std::string& path, bool* ok = nullptr);
    // Why a case does not apply to this parser (external entities, XML 1.1, ...), or empty.
    static std::string notApplicable(const ConformanceCase& c);
    // The suite's manifest under QUARN_CONFORMANCE_DIR, or "" when the suite is not there.
    static std::string suiteManifest();
    // Calls `visit` with each case of the suite that applies to this parser and can be read, and
    // its bytes, in manifest order; false (nothing called) when the suite is not there.
    static bool forEachDocument(const std::function<void(const ConformanceCase&, const std::string&)>& visit);
};

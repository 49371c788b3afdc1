#include "ConformanceManifest.hpp"

#include "builder/XmlKelTranscoderRegistry.hpp"

#include <xercesc/framework/LocalFileInputSource.hpp>
#include <xercesc/sax/Locator.hpp>
#include <xercesc/sax2/Attributes.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/XMLString.hpp>

#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

using namespace xercesc;

namespace {

std::string narrow(const XMLCh* text) {
    if (text == nullptr) return std::string();
    char* bytes = XMLString::transcode(text);
    std::string out(bytes ? bytes : "");
    XMLString::release(&bytes);
    return out;
}

std::string directoryOf(std::string systemId) {
    if (systemId.rfind("file://", 0) == 0) systemId.erase(0, 7);
    const std::size_t slash = systemId.rfind('/');
    return slash == std::string::npos ? std::string() : systemId.substr(0, slash + 1);
}

class ManifestHandler : public DefaultHandler {
public:
    explicit ManifestHandler(std::vector<ConformanceCase>& cases) : iCases(cases) {}

    void setDocumentLocator(const Locator* const locator) override { iLocator = locator; }

    void startElement(const XMLCh* const, const XMLCh* const, const XMLCh* const qname,
                      const Attributes& attributes) override {
        if (narrow(qname) != "TEST") return;
        auto get = [&](const char* name, const char* fallback) {
            XMLCh* wide = XMLString::transcode(name);
            const XMLCh* value = attributes.getValue(wide);
            XMLString::release(&wide);
            return value ? narrow(value) : std::string(fallback);
        };
        ConformanceCase c;
        c.id = get("ID", "");
        c.type = get("TYPE", "");
        c.entities = get("ENTITIES", "none");
        c.uri = get("URI", "");
        c.output = get("OUTPUT", "");
        c.recommendation = get("RECOMMENDATION", "XML1.0");
        c.version = get("VERSION", "");
        c.edition = get("EDITION", "");
        c.namespaces = get("NAMESPACE", "yes");
        // The case's URI is relative to the manifest file it stands in.
        c.baseDirectory = directoryOf(iLocator ? narrow(iLocator->getSystemId()) : std::string());
        iCases.push_back(c);
    }

    void fatalError(const SAXParseException& e) override { throw std::runtime_error(narrow(e.getMessage())); }

private:
    std::vector<ConformanceCase>& iCases;
    const Locator* iLocator = nullptr;
};

} // namespace

std::vector<ConformanceCase> ConformanceManifest::read(const std::string& path) {
    XmlKelTranscoderRegistry::ensureReady();
    std::vector<ConformanceCase> cases;
    std::unique_ptr<SAX2XMLReader> reader(XMLReaderFactory::createXMLReader());
    reader->setFeature(XMLUni::fgSAX2CoreNameSpaces, false);
    reader->setFeature(XMLUni::fgSAX2CoreValidation, false);
    reader->setFeature(XMLUni::fgXercesLoadExternalDTD, false);
    ManifestHandler handler(cases);
    reader->setContentHandler(&handler);
    reader->setErrorHandler(&handler);
    XMLCh* wide = XMLString::transcode(path.c_str());
    try {
        LocalFileInputSource source(wide);
        reader->parse(source);
    } catch (const XMLException& e) {
        XMLString::release(&wide);
        throw std::runtime_error(narrow(e.getMessage()));
    } catch (...) {
        XMLString::release(&wide);
        throw;
    }
    XMLString::release(&wide);
    return cases;
}

std::string ConformanceManifest::readFile(const std::string& path, bool* ok) {
    std::ifstream in(path, std::ios::binary);
    if (ok) *ok = static_cast<bool>(in);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}


std::string ConformanceManifest::suiteManifest() {
    const std::string manifest = std::string(QUARN_CONFORMANCE_DIR) + "/xmlconf.xml";
    bool present = false;
    readFile(manifest, &present);
    return present ? manifest : std::string();
}

bool ConformanceManifest::forEachDocument(const std::function<void(const ConformanceCase&, const std::string&)>& visit) {
    const std::string manifest = suiteManifest();
    if (manifest.empty()) return false;
    for (const ConformanceCase& c : read(manifest)) {
        if (!notApplicable(c).empty()) continue;
        bool readable = false;
        const std::string bytes = readFile(c.path(), &readable);
        if (readable) visit(c, bytes);
    }
    return true;
}

std::string ConformanceManifest::notApplicable(const ConformanceCase& c) {
    if (c.type == "error") return "errors are optional to report";
    if (c.entities != "none") return "needs external entities, which this parser never reads";
    if (c.recommendation == "XML1.1" || c.recommendation == "NS1.1" ||
        (!c.version.empty() && c.version.find("1.0") == std::string::npos))
        return "XML 1.1";
    if (!c.edition.empty() && c.edition.find('5') == std::string::npos)
        return "applies to editions of XML 1.0 before the fifth only";
    // Namespace processing is off: violations of namespace rules alone are well-formed XML here.
    if (c.recommendation.rfind("NS", 0) == 0 && c.type == "not-wf") return "namespace rule, namespaces are off";
    return std::string();
}


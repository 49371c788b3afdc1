// The base scanner-event handler: a recording subclass driven by a real scan of a document with
// an internal DTD subset, and by direct calls with real declaration objects, sees each callback
// turned into exactly one event with the declaration's (base) name and zeros for the extra
// arguments.
#include "common/XmlOrvaneParser.hpp"

#include "host/KelStringBase.hpp"

#include <gtest/gtest.h>

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/XMLNotationDecl.hpp>
#include <xercesc/internal/IGXMLScanner.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/validators/DTD/DTDAttDef.hpp>
#include <xercesc/validators/DTD/DTDValidator.hpp>
#include <xercesc/validators/common/GrammarResolver.hpp>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace xercesc;

namespace {

void initialiseXercesOnce() {
    static std::once_flag once;
    std::call_once(once, [] { XMLPlatformUtils::Initialize(); });
}

std::string text(const XMLCh* value) {
    return value == nullptr ? std::string("(null)") : KelStringBase(value).toUtf8();
}

std::string flag(bool value) { return value ? "true" : "false"; }

std::string extras(int a, int b) { return "|" + std::to_string(a) + "|" + std::to_string(b); }

// Records every event operation and every callback left to the deriving class, one line each.
class Recorder : public XmlOrvaneParser {
public:
    std::vector<std::string> events;
    std::vector<std::string> errors;
    const RefVectorOf<XMLAttr>* lastAttributes = nullptr;
    const DTDElementDecl* lastElementDecl = nullptr;
    const DTDEntityDecl* lastEntityDecl = nullptr;

    void handleComment(const XMLCh* t, int a, int b) override { add("comment|" + text(t) + extras(a, b)); }
    void handleProcessingInstruction(const XMLCh* t, const XMLCh* d, int a, int b) override {
        add("pi|" + text(t) + "|" + text(d) + extras(a, b));
    }
    void handleEndElement(const XMLCh* n, bool root, int a, int b) override {
        add("end|" + text(n) + "|" + flag(root) + extras(a, b));
    }
    void handleEndEntityReference(const XMLCh* n) override { add("endRef|" + text(n)); }
    void handleStartElement(const XMLCh* n, const RefVectorOf<XMLAttr>& attrs, XMLSize_t count, bool empty,
                            bool root, int a, int b) override {
        lastAttributes = &attrs;
        std::string line = "start|" + text(n) + "|" + std::to_string(count);
        for (XMLSize_t i = 0; i < count; ++i) {
            line += "|" + text(attrs.elementAt(i)->getName()) + "=" + text(attrs.elementAt(i)->getValue());
        }
        add(line + "|" + flag(empty) + "|" + flag(root) + extras(a, b));
    }
    void handleStartEntityReference(const XMLCh* n) override { add("startRef|" + text(n)); }
    void handleXmlDecl(const XMLCh* v, const XMLCh* e, const XMLCh* s, const XMLCh* actual, int a, int b) override {
        add("xmlDecl|" + text(v) + "|" + text(e) + "|" + text(s) + "|" + text(actual) + extras(a, b));
    }
    void handleDocTypeComment(const XMLCh* t, int a, int b) override { add("dtdComment|" + text(t) + extras(a, b)); }
    void handleDocTypeDecl(const XMLCh* n, const XMLCh* p, const XMLCh* s) override {
        add("doctype|" + text(n) + "|" + text(p) + "|" + text(s));
    }
    void handleDocTypePI(const XMLCh* t, const XMLCh* d, int a, int b) override {
        add("dtdPi|" + text(t) + "|" + text(d) + extras(a, b));
    }
    void handleEndAttList(const DTDElementDecl& decl, int a) override {
        lastElementDecl = &decl;
        add("endAttList|" + text(decl.getFullName()) + "|" + std::to_string(a));
    }
    void handleNotationDecl(const XMLCh* n, const XMLCh* p, const XMLCh* s, bool ignored, int a, int b) override {
        add("notation|" + text(n) + "|" + text(p) + "|" + text(s) + "|" + flag(ignored) + extras(a, b));
    }
    void handleStartAttList(const DTDElementDecl& decl, int a) override {
        lastElementDecl = &decl;
        add("startAttList|" + text(decl.getFullName()) + "|" + std::to_string(a));
    }
    void handleTextDecl(const XMLCh* v, const XMLCh* e, int a, int b) override {
        add("textDecl|" + text(v) + "|" + text(e) + extras(a, b));
    }
    void handleElementDecl(const DTDElementDecl& decl, bool ignored, int a, int b) override {
        lastElementDecl = &decl;
        add("elementDecl|" + text(decl.getFullName()) + "|" + flag(ignored) + extras(a, b));
    }
    void handleEntityDecl(const DTDEntityDecl& decl, bool pe, bool ignored, int a, int b) override {
        lastEntityDecl = &decl;
        add("entityDecl|" + text(decl.getName()) + "|" + text(decl.getValue()) + "|" + flag(pe) + "|" +
            flag(ignored) + extras(a, b));
    }
    void reservedEvent17() override { add("reserved17"); }
    void reservedEvent18() override { add("reserved18"); }
    void reservedEvent19() override { add("reserved19"); }
    void reservedEvent20() override { add("reserved20"); }
    void reservedEvent21() override { add("reserved21"); }
    void reservedEvent22() override { add("reserved22"); }

    // Callbacks the adapter leaves to its deriving class.
    void docCharacters(const XMLCh* const chars, const XMLSize_t length, const bool cdata) override {
        add("chars|" + KelStringBase(chars, length).toUtf8() + "|" + flag(cdata));
    }
    void endDocument() override { add("endDocument"); }
    void ignorableWhitespace(const XMLCh* const, const XMLSize_t, const bool) override {}
    void resetDocument() override {}
    void startDocument() override { add("startDocument"); }
    void error(const unsigned int, const XMLCh* const, const ErrTypes, const XMLCh* const errorText,
               const XMLCh* const, const XMLCh* const, const XMLFileLoc line, const XMLFileLoc column) override {
        errors.push_back(text(errorText) + " at " + std::to_string(line) + ":" + std::to_string(column));
    }
    void resetErrors() override {}
    void endInputSource(const InputSource&) override {}
    bool expandSystemId(const XMLCh* const, XMLBuffer&) override { return false; }
    void resetEntities() override {}
    InputSource* resolveEntity(XMLResourceIdentifier*) override {
        // Nothing outside the document is ever read: every external entity is empty.
        static const XMLByte nothing[1] = {0};
        return new MemBufInputSource(nothing, 0, "empty", false);
    }
    void startInputSource(const InputSource&) override {}
    void attDef(const DTDElementDecl& decl, const DTDAttDef& def, const bool) override {
        add("attDef|" + text(decl.getFullName()) + "|" + text(def.getFullName()));
    }
    void doctypeWhitespace(const XMLCh* const, const XMLSize_t) override {}
    void endIntSubset() override { add("endIntSubset"); }
    void endExtSubset() override {}
    void resetDocType() override {}
    void startIntSubset() override { add("startIntSubset"); }
    void startExtSubset() override {}

private:
    void add(std::string line) { events.push_back(std::move(line)); }
};

// Scans `document` completely with a DTD-aware scanner reporting to `recorder`.
void scan(Recorder& recorder, const std::string& document) {
    initialiseXercesOnce();
    GrammarResolver resolver(nullptr);
    auto validator = std::make_unique<DTDValidator>(&recorder);
    {
        IGXMLScanner scanner(&recorder, &recorder, &recorder, &recorder, validator.get(), &resolver);
        scanner.setURIStringPool(resolver.getStringPool());
        scanner.setDoNamespaces(false);
        scanner.setValidationScheme(XMLScanner::Val_Never);
        scanner.setLoadExternalDTD(false);
        MemBufInputSource source(reinterpret_cast<const XMLByte*>(document.data()), document.size(),
                                 "file:///", false);
        scanner.scanDocument(source);
    } // the scanner does not own the validator: it goes after the scanner
}

const char* const kDocument =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<!DOCTYPE doc SYSTEM \"doc.dtd\" [\n"
    "  <!-- in the subset -->\n"
    "  <?subset data here?>\n"
    "  <!ELEMENT doc (#PCDATA|item)*>\n"
    "  <!ELEMENT item EMPTY>\n"
    "  <!ATTLIST item qty CDATA #IMPLIED>\n"
    "  <!ENTITY greeting \"hi\">\n"
    "  <!ENTITY % param \"p\">\n"
    "  <!NOTATION gif PUBLIC \"-//gif\">\n"
    "]>\n"
    "<doc><!-- body --><?target the data?><item qty=\"2\"/>&greeting;</doc>";

} // namespace

TEST(XmlOrvaneParserScan, DocumentEventsArriveWithNamesAndZeros) {
    Recorder recorder;
    scan(recorder, kDocument);
    EXPECT_TRUE(recorder.errors.empty()) << recorder.errors.front();

    const std::vector<std::string> expected = {
        "startDocument",
        "xmlDecl|1.0|UTF-8|yes|UTF-8|0|0",
        "doctype|doc||doc.dtd", // no public identifier: the scanner's empty string, passed on
        "startIntSubset",
        "dtdComment| in the subset |0|0",
        "dtdPi|subset|data here|0|0",
        "elementDecl|doc|false|0|0",
        "elementDecl|item|false|0|0",
        "startAttList|item|0",
        "attDef|item|qty",
        "endAttList|item|0",
        "entityDecl|greeting|hi|false|false|0|0",
        "entityDecl|param|p|true|false|0|0",
        "notation|gif|-//gif|(null)|false|0|0",
        "endIntSubset",
        "start|doc|0|false|true|0|0",
        "comment| body |0|0",
        "pi|target|the data|0|0",
        "start|item|1|qty=2|true|false|0|0",
        "startRef|greeting",
        "chars|hi|false",
        "endRef|greeting",
        "end|doc|true|0|0",
        "endDocument",
    };
    EXPECT_EQ(recorder.events, expected);
}

class XmlOrvaneParserDirect : public ::testing::Test {
protected:
    void SetUp() override { initialiseXercesOnce(); }
    Recorder recorder;
};

TEST_F(XmlOrvaneParserDirect, ElementNamesAreBaseNames) {
    DTDElementDecl decl(u"p:local", 0, DTDElementDecl::Any);
    RefVectorOf<XMLAttr> attributes(4, false);
    recorder.startElement(decl, 7, u"p", attributes, 0, false, true);
    recorder.endElement(decl, 7, false, u"p");
    DTDElementDecl root(u"ns:root", 0, DTDElementDecl::Any);
    recorder.doctypeDecl(root, u"pub", u"sys", true, false);

    const std::vector<std::string> expected = {
        "start|local|0|false|true|0|0",
        "end|local|false|0|0",
        "doctype|root|pub|sys",
    };
    EXPECT_EQ(recorder.events, expected);
    EXPECT_EQ(recorder.lastAttributes, &attributes); // the scanner's vector itself, not a copy
}

TEST_F(XmlOrvaneParserDirect, DeclarationsArePassedOnThemselves) {
    DTDElementDecl element(u"e", 0, DTDElementDecl::Empty);
    recorder.elementDecl(element, true);
    EXPECT_EQ(recorder.lastElementDecl, &element);
    recorder.startAttList(element);
    recorder.endAttList(element);
    EXPECT_EQ(recorder.lastElementDecl, &element);

    DTDEntityDecl entity(u"ent", u"value", false);
    recorder.entityDecl(entity, false, true);
    EXPECT_EQ(recorder.lastEntityDecl, &entity);
    recorder.startEntityReference(entity);
    recorder.endEntityReference(entity);

    XMLNotationDecl notation(u"note", u"public-id", u"system-id", u"file:///");
    recorder.notationDecl(notation, true);

    const std::vector<std::string> expected = {
        "elementDecl|e|true|0|0",
        "startAttList|e|0",
        "endAttList|e|0",
        "entityDecl|ent|value|false|true|0|0",
        "startRef|ent",
        "endRef|ent",
        "notation|note|public-id|system-id|true|0|0",
    };
    EXPECT_EQ(recorder.events, expected);
}

TEST_F(XmlOrvaneParserDirect, TextCallbacksForwardTheirStringsUnchanged) {
    recorder.docComment(u"only the comment");
    recorder.docComment(nullptr);
    recorder.docPI(u"t", u"");
    recorder.doctypeComment(u"dc");
    recorder.doctypePI(u"dt", nullptr);
    recorder.XMLDecl(u"1.1", nullptr, u"no", u"UTF-16");
    recorder.TextDecl(u"1.0", u"ISO-8859-1");

    const std::vector<std::string> expected = {
        "comment|only the comment|0|0",
        "comment|(null)|0|0",
        "pi|t||0|0",
        "dtdComment|dc|0|0",
        "dtdPi|dt|(null)|0|0",
        "xmlDecl|1.1|(null)|no|UTF-16|0|0",
        "textDecl|1.0|ISO-8859-1|0|0",
    };
    EXPECT_EQ(recorder.events, expected);
}

#include "parser/XmlParserPlugin.hpp"

#include "builder/XmlBrokerOrvaneParser.hpp"
#include "common/XmlElementType.hpp"
#include "parser/XmlKelParser.hpp"
#include "parser/XmlKelSyntaxElement.hpp"
#include "writer/XmlBrokerOrvaneWriter.hpp"

namespace {
const char16_t* const kDomainNames[] = {u"XML", u"JMSMap", u"JMSStream"};

template <int Kind> KelParser* makeParser(KelMessageGroup* group, bool spanReuse) {
    return new XmlKelParser(group, KelStringBase(kDomainNames[Kind]), Kind, spanReuse);
}

const XmlParserPlugin kInspector;

const KelParserRegistration kRegistrations[] = {
    {u"XML", u"xml", &makeParser<XmlKelParser::KindXml>, &kInspector},
    {u"JMSMap", u"jms_map", &makeParser<XmlKelParser::KindJmsMap>, &kInspector},
    {u"JMSStream", u"jms_stream", &makeParser<XmlKelParser::KindJmsStream>, &kInspector},
};
} // namespace

const KelParserRegistration* XmlParserPlugin::registrations(int* count) noexcept {
    if (count) *count = static_cast<int>(sizeof kRegistrations / sizeof kRegistrations[0]);
    return kRegistrations;
}

const char* XmlParserPlugin::elementTypeName(int typeCode) const { return xmlElementTypeName(typeCode); }

bool XmlParserPlugin::hasReusableSpan(const KelSyntaxElement* element) const {
    auto* xml = dynamic_cast<const XmlKelSyntaxElement*>(element);
    return xml && xml->hasSpan();
}

void XmlParserPlugin::trustInput(KelParser* parser, bool trusted) const {
    if (auto* xml = dynamic_cast<XmlKelParser*>(parser)) xml->setTrustedInput(trusted);
}

KelParserStatistics XmlParserPlugin::statistics(const KelParser* parser) const {
    KelParserStatistics s;
    auto* xml = dynamic_cast<const XmlKelParser*>(parser);
    if (!xml) return s;
    s.elementsBuilt = static_cast<long>(const_cast<XmlKelParser*>(xml)->elementPool().elementCount());
    if (xml->treeBuilder()) s.scanSteps = static_cast<long>(xml->treeBuilder()->stepCount());
    s.xmlElementsChecked = xml->xmlElementsChecked();
    if (xml->treeWriter()) {
        s.bytesFromSpans = xml->treeWriter()->bytesCopiedFromSpans();
        s.bytesAsMarkup = xml->treeWriter()->bytesWrittenAsMarkup();
    }
    return s;
}

bool XmlParserPlugin::originalSpan(const KelSyntaxElement* element, KelElementSpan& span) const {
    auto* xml = dynamic_cast<const XmlKelSyntaxElement*>(element);
    if (!xml || !xml->hasSpan()) return false;
    span.begin = xml->getBufferStart();
    span.end = xml->getBufferEnd();
    span.ccsid = xml->getBufferCodepage();
    span.bigEndian = xml->getBufferBigEndian() != 0;
    return true;
}

bool XmlParserPlugin::writeElement(KelSyntaxElement* element, KelWriteBuffer& buffer, int ccsid) const {
    auto* parser = element != nullptr ? dynamic_cast<XmlKelParser*>(element->parser()) : nullptr;
    if (parser == nullptr) return false;
    parser->writeFragment(&buffer, element, 546, ccsid);
    return true;
}

extern "C" const KelParserRegistration* kelParserRegistrations(int* count) {
    return XmlParserPlugin::registrations(count);
}

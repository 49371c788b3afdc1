// A small host: load the parser plug-in at run time, parse a message lazily, read one field,
// change it, and write the message back. Only the changed start tag (and the tags above it) are
// rewritten; every other byte is copied from the input.
#include <quarn/host/KelException.hpp>
#include <quarn/host/KelMessageGroup.hpp>
#include <quarn/host/KelParser.hpp>
#include <quarn/host/KelParserRegistry.hpp>
#include <quarn/host/KelSyntaxElement.hpp>
#include <quarn/host/KelWriteBuffer.hpp>
#include <quarn/common/XmlElementType.hpp>

#include <cstdio>

int main() {
    const char* message =
        "<?xml version='1.0'?>\n"
        "<order id='PO-1'><item qty='2'>widget</item><item qty='1'>gear</item></order>\n";
    try {
        // The plug-in registers the domains XML, JMSMap and JMSStream when it is loaded.
        KelParserRegistry& registry = KelParserRegistry::instance();
        registry.load(KelParserRegistry::locate("libquarnparse.so.0"));

        KelMessageGroup group;   // owns the parsers it creates
        KelParser* parser = registry.createParser(KelStringBase(u"XML"), group, /*spanReuse=*/true);
        parser->refreshElementsFromBitStream(nullptr, KelBuffer::fromString(message), 546, 1208);

        // Walk to the document element: only the prolog and its start tag are scanned.
        KelSyntaxElement* order = parser->rootElement()->firstChild();
        while (order && order->type() != XmlTypeElement) order = order->nextSibling();
        if (!order) return 1;
        KelSyntaxElement* id = order->firstChild();              // attributes come first
        std::printf("order id: %s\n", id->value().valueAsCharacter().toUtf8().c_str());

        id->setValue(KelStringBase(u"PO-2"));                      // marks order as changed
        KelWriteBuffer out(1208);
        parser->refreshBitStreamFromElements(nullptr, &out, parser->rootElement(), 546, 1208);
        std::fwrite(out.data(), 1, static_cast<std::size_t>(out.used()), stdout);
        return 0;
    } catch (const KelException& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}

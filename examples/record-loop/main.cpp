// Walking a large message record by record in flat memory: the whole message is checked first
// without a tree, then each record under the document element is read, detached and deleted,
// so its elements go back to the parser's pool and the next record is built in the same memory.
// Usage: record-loop FILE (a UTF-8 message whose document element holds the records).
#include "host/KelException.hpp"
#include "host/KelMessageGroup.hpp"
#include "host/KelParser.hpp"
#include "host/KelParserRegistry.hpp"
#include "host/KelSyntaxElement.hpp"
#include "common/XmlElementType.hpp"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: record-loop FILE\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::string message((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    try {
        KelParserRegistry& registry = KelParserRegistry::instance();
        registry.load(KelParserRegistry::locate("libquarnparse.so.0"));
        KelMessageGroup group;
        KelParser* parser = registry.createParser(KelStringBase(u"XML"), group, /*spanReuse=*/true);
        const KelBuffer bytes = KelBuffer::fromString(message);

        // Records are used as they are scanned: a fault near the end must be known before.
        const long elements = parser->checkBitStream(bytes, 546, 1208);
        parser->refreshElementsFromBitStream(nullptr, bytes, 546, 1208);

        KelSyntaxElement* document = parser->rootElement()->firstChild();
        while (document && document->type() != XmlTypeElement) document = document->nextSibling();
        if (!document) return 1;
        long records = 0;
        KelSyntaxElement* child = document->firstChild();
        while (child) {
            KelSyntaxElement* next = child->nextSibling();   // scans just past this child
            if (child->type() == XmlTypeElement) {
                ++records;   // ... use the record here: its attributes, its children ...
            }
            if (child->type() != XmlTypeAttribute) {         // the document element keeps its own
                child->detach();
                child->deleteElement();                      // its slots serve the next record
            }
            child = next;
        }
        std::printf("%ld records of %ld elements; %zu elements alive at the end, %zu slots ever used\n", records,
                    elements, parser->elementPool().liveCount(), parser->elementPool().slotsCarved());
        return 0;
    } catch (const KelException& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}

#include "tools/QuarnMessage.hpp"

#include "host/KelParser.hpp"
#include "host/KelParserRegistry.hpp"
#include "host/KelSyntaxElement.hpp"
#include "parser/XmlElementType.hpp"
#include "tools/ElementPath.hpp"
#include "tools/InputFile.hpp"
#include "tools/QuarnOptions.hpp"

#include <chrono>

namespace {
double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}
} // namespace

QuarnMessage::QuarnMessage(const QuarnOptions& options, const std::string& file, bool spanReuse)
    : iOptions(options) {
    auto start = std::chrono::steady_clock::now();
    iInput = InputFile::read(file);
    readMs = millisecondsSince(start);
    iParser = KelParserRegistry::instance().createParser(KelStringBase::fromUtf8(options.domain), iGroup, spanReuse);
    iParser->refreshElementsFromBitStream(nullptr, iInput, options.encoding, options.ccsid);
}

KelSyntaxElement* QuarnMessage::root() const { return iParser->rootElement(); }

void QuarnMessage::applyEdits() {
    auto start = std::chrono::steady_clock::now();
    for (const QuarnOptions::Edit& edit : iOptions.edits) {
        ElementPath path(edit.path);
        KelSyntaxElement* element = path.findElement(root());
        if (!element) throw QuarnOptions::UsageError("path names nothing: " + edit.path);
        KelSyntaxElement* target = path.namesAttribute() ? path.findAttribute(element) : element;
        if (edit.kind == QuarnOptions::Edit::Delete) {
            if (!target) throw QuarnOptions::UsageError("path names nothing: " + edit.path);
            target->detach();
            continue;
        }
        if (!target) {
            // A new attribute goes after the element's last attribute.
            KelSyntaxElement* lastAttribute = nullptr;
            for (KelSyntaxElement* c = element->firstChild(); c && c->type() == XmlTypeAttribute; c = c->knownNextSibling())
                lastAttribute = c;
            target = lastAttribute ? lastAttribute->createAfter(path.attribute()) : element->createFirstChild(path.attribute());
            target->setType(XmlTypeAttribute);
        }
        target->setValue(KelStringBase::fromUtf8(edit.value));
    }
    editMs = millisecondsSince(start);
}

void QuarnMessage::write() {
    auto start = std::chrono::steady_clock::now();
    const int outCcsid = iOptions.outCcsid != -1 ? iOptions.outCcsid : iOptions.ccsid;
    const int outEncoding = iOptions.outEncodingGiven ? iOptions.outEncoding : iOptions.encoding;
    // Without span reuse every element is written as markup, so the whole message cannot be
    // handed back either.
    iParser->setReuseBitStream(iOptions.edits.empty() && iOptions.passthrough && iOptions.spanReuse);
    iOutput = std::make_unique<KelWriteBuffer>(outCcsid);
    iParser->refreshBitStreamFromElements(nullptr, iOutput.get(), root(), outEncoding, outCcsid);
    writeMs = millisecondsSince(start);
}

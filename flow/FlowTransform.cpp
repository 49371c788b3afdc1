#include "flow/FlowTransform.hpp"

#include "host/KelBuffer.hpp"
#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "host/KelParser.hpp"
#include "host/KelParserInspector.hpp"
#include "host/KelSyntaxElement.hpp"
#include "flow/FlowOptions.hpp"
#include "cli/QuarnMessage.hpp"

#include <cstdlib>
#include <new>

namespace {
constexpr long kScannerError = 5004;   // the scanner's report: its inserts 2 and 3 give line and column
constexpr long kLimitExceeded = 5011;  // a limit passed: so do its inserts 2 and 3 (after its name and value)

void walkWhole(KelSyntaxElement* root) {
    KelSyntaxElement* e = root;
    while (e) {
        if (KelSyntaxElement* c = e->firstChild()) {
            e = c;
            continue;
        }
        while (e && e != root && !e->nextSibling()) e = e->parent();
        e = (e && e != root) ? e->nextSibling() : nullptr;
    }
}

// The report that says where the scanner stopped (its error, or the limit it passed), wherever it
// sits among the causes.
const KelException* scannerError(const KelException& e) {
    if ((e.catalogueNumber() == kScannerError || e.catalogueNumber() == kLimitExceeded) && e.inserts().size() >= 4)
        return &e;
    for (const auto& nested : e.nested())
        if (const KelException* found = scannerError(*nested)) return found;
    return nullptr;
}
} // namespace

FlowTransform::FlowTransform(const FlowOptions& options, const KelParserInspector& inspector)
    : iOptions(options), iInspector(inspector), iPage(options.message) {}

FlowTransform::~FlowTransform() = default;

FlowTransform::Outcome FlowTransform::process(const unsigned char* data, std::size_t size, int ccsid, int encoding,
                                              std::shared_ptr<const void> owner) {
    Outcome out;
    out.data = data;
    out.size = size;
    try {
        // An unknown page is the message's fault, reported like any other (2340).
        if (ccsid >= 0) KelConverter::setCodepage(ccsid);
        // Forwarding to the default key reads nothing; an empty message, though, holds nothing to
        // forward, so it takes the parser's way, where it is refused as quarn refuses an empty file.
        if (!iOptions.needsParser() && size > 0) {
            out.key = iOptions.router.defaultKey();
            out.bytesCopied = static_cast<long>(size);
            return out;
        }
        // The message reads its page from iPage, set anew for each message: its headers, else the
        // flow's setting, else (ccsid -1) found from its bytes as for a file. One parser serves
        // all messages, as making one (with its scanner) costs more than routing a small message.
        iPage.ccsid = ccsid >= 0 ? ccsid : iOptions.message.ccsid;
        iPage.encoding = encoding >= 0 ? encoding : iOptions.message.encoding;
        iPage.encodingGiven = encoding >= 0 || iOptions.message.encodingGiven;
        const KelBuffer input = owner ? KelBuffer::share(std::move(owner), data, static_cast<long>(size))
                                      : KelBuffer(data, static_cast<long>(size));
        if (iMessage)
            iMessage->refresh(input);
        else
            iMessage = std::make_unique<QuarnMessage>(iPage, input, true);
        out.ccsid = iMessage->ccsid();
        out.encoding = iMessage->encoding();
        // Every message is read at least to its first item (the rules, the edits and the write all
        // start there), so whatever the flow does, a message that holds no document is refused
        // first, as a parse error.
        iMessage->root()->firstChild();
        if (iOptions.fullWalk) walkWhole(iMessage->root());
        out.key = iOptions.router.route(iMessage->root());
        if (iOptions.passesThrough()) {
            // Bytes never scanned are passed on only once they are known to be a document: a
            // broken message is dead-lettered, as every other entry point refuses it.
            if (iPage.check != MessageOptions::CheckNever && !iMessage->root()->isCompleteRight()) iMessage->check();
            out.bytesCopied = static_cast<long>(size);
            return out;
        }
        if (iPage.outCcsid != -1) KelConverter::setCodepage(iPage.outCcsid);
        iMessage->applyEdits();
        iMessage->write();
        const KelWriteBuffer& written = iMessage->output();
        const KelParserStatistics stats = iInspector.statistics(iMessage->parser());
        out.data = written.data();
        out.size = static_cast<std::size_t>(written.used());
        out.rewritten = true;
        out.ccsid = iPage.outCcsid != -1 ? iPage.outCcsid : iMessage->ccsid();
        out.encoding = iPage.outEncodingGiven ? iPage.outEncoding : iMessage->encoding();
        if (stats.bytesFromSpans + stats.bytesAsMarkup == 0 && out.size > 0) {
            out.bytesCopied = static_cast<long>(out.size);   // given back whole
        } else {
            out.bytesCopied = stats.bytesFromSpans;
            out.bytesRewritten = stats.bytesAsMarkup;
        }
        return out;
    } catch (const KelException& e) {
        out.errorNumber = static_cast<long>(e.catalogueNumber());
        out.errorText = e.what();
        if (const KelException* scanner = scannerError(e)) {
            out.errorLine = std::strtol(scanner->inserts()[2].c_str(), nullptr, 10);
            out.errorColumn = std::strtol(scanner->inserts()[3].c_str(), nullptr, 10);
        }
    } catch (const std::bad_alloc&) {
        out.errorText = "out of memory";
    } catch (const std::exception& e) {
        out.errorText = e.what();
    }
    out = Outcome{true, std::string(), data, size, false, 0, 0, out.ccsid, out.encoding, out.errorNumber,
                  out.errorText, out.errorLine, out.errorColumn};
    // A parser that failed starts afresh with the next message.
    iMessage.reset();
    return out;
}

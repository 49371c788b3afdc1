#include "tools/FlowTransform.hpp"

#include "host/KelBuffer.hpp"
#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "host/KelParser.hpp"
#include "host/KelParserInspector.hpp"
#include "host/KelSyntaxElement.hpp"
#include "tools/FlowOptions.hpp"
#include "tools/QuarnMessage.hpp"

#include <cstdlib>
#include <new>

namespace {
constexpr int kBigEndianUtf16 = 273;    // low four bits 1: big-endian integers and UTF-16
constexpr int kLittleEndianUtf16 = 546;
constexpr long kScannerError = 5004;   // the scanner's report: its inserts give line and column

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

// The scanner's error, wherever it sits among the causes.
const KelException* scannerError(const KelException& e) {
    if (e.catalogueNumber() == kScannerError && e.inserts().size() >= 4) return &e;
    for (const auto& nested : e.nested())
        if (const KelException* found = scannerError(*nested)) return found;
    return nullptr;
}
} // namespace

FlowTransform::FlowTransform(const FlowOptions& options, const KelParserInspector& inspector)
    : iOptions(options), iInspector(inspector), iPage(options.message) {}

FlowTransform::~FlowTransform() = default;

void FlowTransform::detectPage(const unsigned char* d, std::size_t n, int& ccsid, int& encoding) {
    // The library's own detection replaces this once it is in.
    if (n >= 2 && d[0] == 0xFE && d[1] == 0xFF) {
        ccsid = 1200, encoding = kBigEndianUtf16;
    } else if (n >= 2 && d[0] == 0xFF && d[1] == 0xFE) {
        ccsid = 1200, encoding = kLittleEndianUtf16;
    } else if (n >= 2 && d[0] == 0 && d[1] == '<') {
        ccsid = 1200, encoding = kBigEndianUtf16;
    } else if (n >= 2 && d[0] == '<' && d[1] == 0) {
        ccsid = 1200, encoding = kLittleEndianUtf16;
    }
}

FlowTransform::Outcome FlowTransform::process(const unsigned char* data, std::size_t size, int ccsid, int encoding,
                                              std::shared_ptr<const void> owner) {
    Outcome out;
    QuarnOptions page = iOptions.message;
    if (ccsid < 0) {
        int detectedCcsid = page.ccsid, detectedEncoding = page.encoding;
        detectPage(data, size, detectedCcsid, detectedEncoding);
        page.ccsid = detectedCcsid;
        if (encoding < 0) encoding = detectedEncoding;
    } else {
        page.ccsid = ccsid;
    }
    if (encoding >= 0) page.encoding = encoding;
    out.ccsid = page.ccsid;
    out.encoding = page.encoding;
    out.data = data;
    out.size = size;
    try {
        // An unknown page is the message's fault, reported like any other (2340).
        KelConverter::setCodepage(page.ccsid);
        if (!iOptions.needsParser()) {
            out.key = iOptions.router.defaultKey();
            out.bytesCopied = static_cast<long>(size);
            return out;
        }
        // The message reads its page from iPage, set anew for each message; one parser serves them
        // all, as making one (with its scanner) costs more than routing a small message.
        iPage.ccsid = page.ccsid;
        iPage.encoding = page.encoding;
        const KelBuffer input = owner ? KelBuffer::share(std::move(owner), data, static_cast<long>(size))
                                      : KelBuffer(data, static_cast<long>(size));
        if (iMessage)
            iMessage->refresh(input);
        else
            iMessage = std::make_unique<QuarnMessage>(iPage, input, true);
        if (iOptions.fullWalk) walkWhole(iMessage->root());
        out.key = iOptions.router.route(iMessage->root());
        if (iOptions.passesThrough()) {
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
        out.ccsid = iPage.outCcsid != -1 ? iPage.outCcsid : iPage.ccsid;
        out.encoding = iPage.outEncodingGiven ? iPage.outEncoding : iPage.encoding;
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
    out = Outcome{true, std::string(), data, size, false, 0, 0, page.ccsid, page.encoding, out.errorNumber,
                  out.errorText, out.errorLine, out.errorColumn};
    // A parser that failed starts afresh with the next message.
    iMessage.reset();
    return out;
}

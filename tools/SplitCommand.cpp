#include "tools/SplitCommand.hpp"

#include "host/KelConverter.hpp"
#include "host/KelParser.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelWriteBuffer.hpp"
#include "common/XmlElementType.hpp"
#include "query/XmlPathQuery.hpp"
#include "tools/OutputFile.hpp"
#include "tools/QuarnMessage.hpp"
#include "tools/QuarnOptions.hpp"

#include <unicode/ucnv.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <sys/stat.h>

namespace {
bool isUtf16(int ccsid) { return ccsid == 1200 || ccsid == 13488 || ccsid == 17584; }

// The name a reader knows the code page by: its IANA name where it has one.
std::string encodingNameOf(int ccsid) {
    const std::string icu = KelConverter::icuNameFor(ccsid);
    UErrorCode status = U_ZERO_ERROR;
    for (const char* standard : {"IANA", "MIME"}) {
        const char* name = ucnv_getStandardName(icu.c_str(), standard, &status);
        if (U_SUCCESS(status) && name != nullptr) return name;
        status = U_ZERO_ERROR;
    }
    return icu;
}

std::string numbered(const std::string& folder, const std::string& name, long n) {
    char digits[24];
    std::snprintf(digits, sizeof digits, "%06ld", n);
    return folder + "/" + name + "-" + digits + ".xml";
}
} // namespace

long SplitCommand::run() {
    const QuarnOptions& o = iOptions;
    // PATH is the path of the element that holds the records, then the records' plain name as its
    // last step ("order/item", "//batch/record"): the records are walked as that element's children,
    // so that each can be deleted once written.
    const std::string& expression = o.positional[1];
    const std::size_t slash = expression.rfind('/');
    const std::string last = slash == std::string::npos ? expression : expression.substr(slash + 1);
    bool plainName = !last.empty();
    for (char c : last)
        if (c == '@' || c == '[' || c == '(' || c == '*' || c == '.' || c == ':') plainName = false;
    if (!plainName)
        throw QuarnOptions::UsageError("quarn split needs a path whose last step names the records' elements: " + expression);
    const std::string& folder = o.positional[2];
    if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot make the folder " + folder);

    QuarnMessage m(o, o.positional[0], true);
    // Records are written as soon as they are scanned: a fault further on must be found first.
    if (o.check != QuarnOptions::CheckNever) m.check();

    // The records are the children, named as the path's last step, of the element the steps
    // before it select first (the root for a one-step path).
    KelSyntaxElement* parent = m.root();
    if (slash != std::string::npos) {
        std::string prefix = expression.substr(0, slash);
        // "a//b" names no one holder: records are the children of one element.
        if (!prefix.empty() && prefix.back() == '/')
            throw QuarnOptions::UsageError("quarn split needs the records as children of one element: " + expression);
        if (prefix.empty()) prefix = "/";
        XmlPathQuery::Match found;
        try {
            found = XmlPathQuery(prefix).first(m.root());
        } catch (const XmlPathQuery::SyntaxError& e) {
            throw QuarnOptions::UsageError(std::string("path expression '") + expression + "': " + e.what());
        }
        if (!found || (found.kind != XmlPathQuery::Match::Element && found.kind != XmlPathQuery::Match::Document))
            throw QuarnOptions::UsageError("path names nothing: " + prefix);
        parent = found.element;
    }
    const KelStringBase recordName = KelStringBase::fromUtf8(last);
    const std::string fileName = recordName.toUtf8();
    const int outCcsid = o.outCcsid != -1 ? o.outCcsid : m.ccsid();
    const int outEncoding = o.outEncodingGiven ? o.outEncoding : m.encoding();
    KelStringBase declaration;
    if (outCcsid != 1208 && !isUtf16(outCcsid))
        declaration = KelStringBase::fromUtf8("<?xml version=\"1.0\" encoding=\"" + encodingNameOf(outCcsid) + "\"?>");

    // Each record is written from a holder of its own, as a one-element document.
    KelParser* parser = m.parser();
    KelSyntaxElement* holder = parser->elementPool().createElement();
    holder->setType(XmlTypeRoot);
    long written = 0;
    KelSyntaxElement* child = parent->firstChild();
    while (child != nullptr) {
        KelSyntaxElement* next = child->nextSibling();   // scans just past this child
        const int type = child->type();
        if (type == XmlTypeAttribute) {
            child = next;
            continue;
        }
        child->detach();
        if (type == XmlTypeElement && child->name() == recordName) {
            holder->attachAsLastChild(child);
            KelWriteBuffer out(outCcsid);
            if (!declaration.empty()) out.appendMbs(declaration, outCcsid, 1);
            parser->refreshBitStreamFromElements(nullptr, &out, holder, outEncoding, outCcsid);
            OutputFile::write(numbered(folder, fileName, ++written), out.data(), static_cast<std::size_t>(out.used()));
            child->detach();
        }
        child->deleteElement();
        child = next;
    }
    holder->deleteElement();
    return written;
}

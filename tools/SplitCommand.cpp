#include "tools/SplitCommand.hpp"

#include "host/KelConverter.hpp"
#include "host/KelParser.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelWriteBuffer.hpp"
#include "parser/XmlElementType.hpp"
#include "tools/ElementPath.hpp"
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
    const ElementPath path(o.positional[1]);
    if (path.namesAttribute()) throw QuarnOptions::UsageError("quarn split needs a path to elements, not to an attribute");
    const std::string& folder = o.positional[2];
    if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot make the folder " + folder);

    QuarnMessage m(o, o.positional[0], true);
    // Records are written as soon as they are scanned: a fault further on must be found first.
    if (o.check != QuarnOptions::CheckNever) m.check();

    // The records are the children, named as the path's last step, of the element its other
    // steps name (the root for a one-step path).
    KelSyntaxElement* parent = m.root();
    if (path.steps().size() > 1) {
        std::string prefix = o.positional[1].substr(0, o.positional[1].rfind('/'));
        parent = ElementPath(prefix).findElement(m.root());
        if (parent == nullptr) throw QuarnOptions::UsageError("path names nothing: " + prefix);
    }
    const KelStringBase& recordName = path.steps().back().name;
    const std::string fileName = recordName.toUtf8();
    const int outCcsid = o.outCcsid != -1 ? o.outCcsid : o.ccsid;
    const int outEncoding = o.outEncodingGiven ? o.outEncoding : o.encoding;
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

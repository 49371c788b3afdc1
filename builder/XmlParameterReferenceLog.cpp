#include "builder/XmlParameterReferenceLog.hpp"

#include <xercesc/internal/ReaderMgr.hpp>
#include <xercesc/validators/DTD/DTDEntityDecl.hpp>
#include <xercesc/util/XMLException.hpp>

#include <climits>
#include <new>

XERCES_CPP_NAMESPACE_USE

void XmlParameterReferenceLog::watch(const ReaderMgr* readers, long from) {
    iReaders = readers;
    iReadFrom = readers != nullptr ? from : -1;
    iOpen.clear();
    iMarks.clear();
    iTaken.clear();
    iDeclared.clear();
}

void XmlParameterReferenceLog::declare(const DTDEntityDecl& entity) {
    if (iReaders == nullptr || !entity.getIsParameter()) return;
    const bool marked = entity.isExternal() || isWholeDeclarations(entity.getValue(), entity.getValueLen());
    const XMLCh* name = entity.getName();
    // The first declaration binds; a later one of the same name is another object, never read.
    try {
        iDeclared.emplace(&entity, Declared{name != nullptr ? std::u16string(name) : std::u16string(), marked});
    } catch (const std::bad_alloc&) {
        iReaders = nullptr;   // its references read as their declarations, as unmarked ones do
    }
}

void XmlParameterReferenceLog::readerOpening() noexcept {
    if (iReaders == nullptr) return;
    const XMLSize_t depth = iReaders->getReaderDepth();
    if (depth == 0) return;   // the document's own reader
    // The reader that holds the reference is current now: if it is itself an expansion, this is
    // the last moment it is, before the new one is pushed over it.
    settleCurrent();
    long at = -1;
    if (depth == 1) {
        // The document's reader has just read the reference's ';'.
        try {
            const XMLFilePos offset = iReaders->getSrcOffset();
            if (offset <= static_cast<XMLFilePos>(LONG_MAX)) at = static_cast<long>(offset);
        } catch (const XMLException&) {
            at = -1;
        }
    }
    try {
        iOpen.push_back(Open{depth + 1, at, false, false, nullptr});
    } catch (...) {
        // Without memory for the log the reference reads as its declarations, as unmarked ones do.
        iReaders = nullptr;
    }
}

void XmlParameterReferenceLog::readerClosing(const void* reader) noexcept {
    if (iReaders == nullptr || iOpen.empty()) return;
    // A reader freed without ever becoming current (the scanner refused to push it: a recursive
    // reference) leaves the readers as they were.
    if (reader != iReaders->getCurrentReader()) {
        if (iOpen.back().depth > iReaders->getReaderDepth()) iOpen.pop_back();
        return;
    }
    while (!iOpen.empty() && iOpen.back().depth > iReaders->getReaderDepth()) iOpen.pop_back();
    if (iOpen.empty() || iOpen.back().depth != iReaders->getReaderDepth()) return;
    settleCurrent();
    const Open closed = iOpen.back();
    iOpen.pop_back();
    if (!closed.marked) return;
    try {
        iMarks.push_back(Mark{false, *closed.name, closed.documentOffset});
    } catch (...) {
        iReaders = nullptr;
    }
}

void XmlParameterReferenceLog::settleCurrent() noexcept {
    if (iOpen.empty()) return;
    Open& open = iOpen.back();
    if (open.settled || open.depth != iReaders->getReaderDepth()) return;
    open.settled = true;
    // Only a parameter entity's reader is marked, and in the internal subset no such reference
    // may stand in a literal: every one found stands between declarations. The entity is known
    // by its address alone.
    const auto declared = iDeclared.find(iReaders->getCurrentEntity());
    open.marked = declared != iDeclared.end() && declared->second.marked;
    if (!open.marked) return;
    open.name = &declared->second.name;
    try {
        iMarks.push_back(Mark{true, *open.name, open.documentOffset});
    } catch (...) {
        iReaders = nullptr;
    }
}

const std::vector<XmlParameterReferenceLog::Mark>& XmlParameterReferenceLog::take(XmlSpanLocator& text,
                                                                                 const XmlSpanLocator::Position& p) {
    iTaken.clear();
    if (iReaders == nullptr) return iTaken;
    settleCurrent();
    for (Mark& mark : iMarks) {
        const long at = mark.documentOffset;
        if (mark.start && at >= 0) markUnexpanded(text, at, true);
        iTaken.push_back(std::move(mark));
        if (at >= 0) iReadFrom = at;
    }
    iMarks.clear();
    if (p.inDocument && p.offset >= 0) {
        markUnexpanded(text, p.offset, false);
        iReadFrom = p.offset;
    }
    return iTaken;
}

void XmlParameterReferenceLog::markUnexpanded(XmlSpanLocator& text, long to, bool expandedAtEnd) {
    if (iReadFrom < 0 || to < iReadFrom) return;
    for (const XmlSpanLocator::TextReference& reference : text.referencesBetween(iReadFrom, to)) {
        if (expandedAtEnd && reference.after == to) break;
        iTaken.push_back(Mark{true, reference.name, -1});
        iTaken.push_back(Mark{false, reference.name, reference.after, false});
    }
}

namespace {
bool isBlank(XMLCh c) noexcept { return c == 0x20 || c == 0x09 || c == 0x0A || c == 0x0D; }

// The offset just after the first `close` (one or two code units) at or after `from`, or 0.
std::size_t after(const XMLCh* text, std::size_t length, std::size_t from, const char* close) noexcept {
    const std::size_t n = close[1] == 0 ? 1 : close[2] == 0 ? 2 : 3;
    for (std::size_t i = from; i + n <= length; ++i) {
        std::size_t k = 0;
        while (k < n && text[i + k] == static_cast<XMLCh>(close[k])) ++k;
        if (k == n) return i + n;
    }
    return 0;
}

bool startsWith(const XMLCh* text, std::size_t length, std::size_t at, const char* prefix) noexcept {
    for (std::size_t k = 0; prefix[k] != 0; ++k)
        if (at + k >= length || text[at + k] != static_cast<XMLCh>(prefix[k])) return false;
    return true;
}
} // namespace

bool XmlParameterReferenceLog::isWholeDeclarations(const XMLCh* text, std::size_t length) noexcept {
    if (text == nullptr) return length == 0;
    std::size_t i = 0;
    while (i < length) {
        const XMLCh c = text[i];
        if (isBlank(c)) {
            ++i;
        } else if (c == u'%') {
            // A reference: a name and its ';' (the name's own rules are the scanner's).
            std::size_t j = i + 1;
            while (j < length && text[j] != u';' && !isBlank(text[j]) && text[j] != u'<' && text[j] != u'>') ++j;
            if (j == i + 1 || j >= length || text[j] != u';') return false;
            i = j + 1;
        } else if (startsWith(text, length, i, "<!--")) {
            i = after(text, length, i + 4, "-->");
            if (i == 0) return false;
        } else if (startsWith(text, length, i, "<?")) {
            i = after(text, length, i + 2, "?>");
            if (i == 0) return false;
        } else if (startsWith(text, length, i, "<!") && !startsWith(text, length, i, "<![")) {
            // A declaration: to its '>', passing over quoted literals.
            std::size_t j = i + 2;
            XMLCh quote = 0;
            for (; j < length; ++j) {
                if (quote != 0) {
                    if (text[j] == quote) quote = 0;
                } else if (text[j] == u'"' || text[j] == u'\'') {
                    quote = text[j];
                } else if (text[j] == u'>' || text[j] == u'<') {
                    break;
                }
            }
            if (j >= length || text[j] != u'>') return false;
            i = j + 1;
        } else {
            return false;
        }
    }
    return true;
}

#include "tools/SplitCommand.hpp"

#include "host/KelConverter.hpp"
#include "host/KelParser.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelWriteBuffer.hpp"
#include "common/XmlElementType.hpp"
#include "query/XmlPathQuery.hpp"
#include "cli/OutputFile.hpp"
#include "cli/OutputFolder.hpp"
#include "cli/OutputStaging.hpp"
#include "cli/QuarnMessage.hpp"
#include "tools/QuarnOptions.hpp"
#include "tools/StandaloneRecord.hpp"
#include "cli/TreePrinter.hpp"

#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {
std::string numbered(const std::string& folder, const std::string& name, long n) {
    char digits[24];
    std::snprintf(digits, sizeof digits, "%06ld", n);
    return folder + "/" + name + "-" + digits + ".xml";
}

// Called on the steps of a path the engine compiled, so any step without these characters is a
// name: "order.line" and "line-2" are names, "." and ".." are not.
bool isPlainName(const std::string& step) {
    if (step.empty() || step == "." || step == "..") return false;
    for (char c : step)
        if (c == '@' || c == '[' || c == ']' || c == '(' || c == ')' || c == '*' || c == ':' || c == '=' ||
            c == '\'' || c == '"' || c == ' ' || c == '|')
            return false;
    return true;
}

// A record's name as its last step gives it: a plain name, or one with a prefix ("p:item"), which
// is matched as written, as the other steps are.
bool isRecordName(const std::string& step) {
    const std::size_t colon = step.find(':');
    if (colon == std::string::npos) return isPlainName(step);
    return isPlainName(step.substr(0, colon)) && isPlainName(step.substr(colon + 1));
}

// The records' file name: a colon is no character to put in a file name on every system (nor in
// a URL or a make rule), so a prefixed name is written with '_' for it ("p_item-000001.xml").
std::string fileNameOf(std::string recordName) {
    const std::size_t colon = recordName.find(':');
    if (colon != std::string::npos) recordName[colon] = '_';
    return recordName;
}

// The steps of a path of plain names or '*' ("batch/order", "/batch/*"); false for any other form.
bool plainSteps(std::string prefix, std::vector<std::string>& steps) {
    if (!prefix.empty() && prefix[0] == '/') prefix.erase(0, 1);
    if (prefix.empty()) return true;
    std::size_t from = 0;
    for (;;) {
        const std::size_t slash = prefix.find('/', from);
        const std::string step = prefix.substr(from, slash == std::string::npos ? std::string::npos : slash - from);
        if (step != "*" && !isPlainName(step)) return false;
        steps.push_back(step);
        if (slash == std::string::npos) return true;
        from = slash + 1;
    }
}
} // namespace

SplitCommand::Summary SplitCommand::run() {
    const QuarnOptions& o = iOptions;
    iStart = std::chrono::steady_clock::now();
    iLastDrawn = iStart - std::chrono::seconds(1);
    // PATH is the path of the elements that hold the records, then the records' name as its last
    // step ("order/item", "batch/order/line", "order/p:item"): the records are walked as those
    // elements' children, so that each can be deleted once written.
    const std::string& expression = o.positional[1];
    // The whole path is read by the engine first, as every other entry point reads it: what the
    // path language refuses ("$v", "a/child::b") is refused here with its words (status 2), and what
    // is no path at all ("1", "a + b") is never taken for a record name that nothing matches.
    if (XmlPathQuery(expression).resultKind() != XmlPathQuery::ResultKind::Nodes)
        throw QuarnOptions::UsageError("quarn split needs a path whose last step names the records' elements: " +
                                       expression);
    const std::size_t slash = expression.rfind('/');
    const std::string last = slash == std::string::npos ? expression : expression.substr(slash + 1);
    if (!isRecordName(last))
        throw QuarnOptions::UsageError("quarn split needs a path whose last step names the records' elements: " + expression);
    std::string prefix = slash == std::string::npos ? std::string() : expression.substr(0, slash);
    if (!prefix.empty() && prefix.back() == '/')
        throw QuarnOptions::UsageError("quarn split needs the records as children of the elements a path selects, not "
                                       "'//' before their name: " + expression);
    std::vector<std::string> steps;
    const bool streamed = plainSteps(prefix, steps);
    std::unique_ptr<XmlPathQuery> query;
    if (!streamed) {
        query = std::make_unique<XmlPathQuery>(prefix);
    }
    const std::string& folder = o.positional[2];
    const std::unique_ptr<OutputStaging> staging = OutputStaging::forFolder(folder, o.syncEach, o.replace, "--replace");
    // The input may lie in the folder: it is known by its identity before any record takes a name.
    OutputStaging::Rest rest;
    const OutputFolder::FileId input = OutputFolder::idOf(o.positional[0]);
    rest.keep.insert(input);

    QuarnMessage m(o, o.positional[0], true);
    // Records are written as soon as they are scanned: a fault further on must be found first.
    if (o.check != QuarnOptions::CheckNever) m.check();
    Summary summary;
    summary.bytesIn = static_cast<unsigned long long>(m.input().length());

    const KelStringBase recordName = KelStringBase::fromUtf8(last);
    const std::string fileName = fileNameOf(last);
    const int outCcsid = o.outCcsid != -1 ? o.outCcsid : m.ccsid();
    const int outEncoding = o.outEncodingGiven ? o.outEncoding : m.encoding();
    KelStringBase declaration;
    const bool xml11 = m.declaresXml11();
    // Named as `write` names the page, with a name every reader takes (an ICU alias such as
    // ISO_8859-1:1987 is no encoding name an XML declaration may hold).
    if (outCcsid != 1208 && !KelConverter::isUtf16Ccsid(outCcsid) && !xml11)
        declaration = KelStringBase::fromAscii(
            ("<?xml version=\"1.0\" encoding=\"" + KelConverter::encodingNameFor(outCcsid) + "\"?>").c_str());

    KelParser* parser = m.parser();
    KelSyntaxElement* root = m.root();
    StandaloneRecord standalone(root, iInspector);
    // Each record is written from a holder of its own, as a one-element document.
    KelSyntaxElement* holder = parser->elementPool().createElement();
    holder->setType(XmlTypeRoot);
    if (xml11) {
        // A record of an XML 1.1 message is XML 1.1 as well: read as 1.0, its references to
        // control characters were refused and its NEL and U+2028 line ends read as characters.
        // It says so in a declaration the writer makes, in the record's page and byte order.
        KelSyntaxElement* versioned = holder->createFirstChild();
        versioned->setType(XmlTypeXmlDecl);
        KelSyntaxElement* version = versioned->createFirstChild();
        version->setType(XmlTypeVersion);
        version->setValue(KelStringBase(u"1.1"));
    }

    // The records among the children of one parent, each written and deleted in turn.
    auto splitChildren = [&](KelSyntaxElement* parent) {
        standalone.enterParent(parent);
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
                const long n = summary.records + 1;
                const std::string path = numbered(folder, fileName, n);
                // Replacing, a record's name may be the input's own (FILE lies in OUTDIR as
                // NAME-000001.xml, or a link there leads to it): the record would replace it.
                if (staging->replacing() && input != OutputFolder::FileId{0, 0} && OutputFolder::idOf(path) == input)
                    throw QuarnOptions::UsageError("record " + std::to_string(n) + " would be written over FILE " +
                                                   TreePrinter::printable(o.positional[0]) + " (" +
                                                   TreePrinter::printable(path) +
                                                   "); give an OUTDIR that does not hold FILE under a record's name");
                standalone.prepare(child, "record " + std::to_string(n) + " (" + path + ")");
                holder->attachAsLastChild(child);
                KelWriteBuffer out(outCcsid);
                if (!declaration.empty()) out.appendMbs(declaration, outCcsid, 1);
                parser->refreshBitStreamFromElements(nullptr, &out, holder, outEncoding, outCcsid);
                staging->add(path, out.data(), static_cast<std::size_t>(out.used()));
                summary.records = n;
                summary.bytesOut += static_cast<unsigned long long>(out.used());
                showProgress(n, false);
                child->detach();
            }
            child->deleteElement();
            child = next;
        }
    };
    // Every element the steps select, in document order: each one's records are split before the
    // walk goes on, and what lies below the document element is deleted once passed.
    long parentsMet = 0;
    std::function<void(KelSyntaxElement*, std::size_t)> walk = [&](KelSyntaxElement* element, std::size_t depth) {
        if (depth == steps.size()) {
            ++parentsMet;
            return splitChildren(element);
        }
        KelSyntaxElement* child = element->firstChild();
        while (child != nullptr) {
            const bool matches = child->type() == XmlTypeElement &&
                                 (steps[depth] == "*" || child->name() == KelStringBase::fromUtf8(steps[depth]));
            if (matches) walk(child, depth + 1);
            KelSyntaxElement* next = child->nextSibling();
            // Attributes stay: the namespaces they declare are in scope at later parents.
            if (depth > 0 && child->type() != XmlTypeAttribute) {
                child->detach();
                child->deleteElement();
            }
            child = next;
        }
    };

    try {
        if (streamed) {
            walk(root, 0);
            // No parent at all is a path that misses the message (a misspelt step), not a feed
            // without records: refused as a path of another form is.
            if (parentsMet == 0) throw QuarnOptions::UsageError("path names nothing: " + prefix);
        } else {
            // A path of another form is split only where it selects one parent: finding whether
            // there is a second scans the message as far as that.
            std::vector<KelSyntaxElement*> parents;
            query->forEach(root, [&](const XmlPathQuery::Match& match) {
                if (match.kind == XmlPathQuery::Match::Element || match.kind == XmlPathQuery::Match::Document)
                    parents.push_back(match.element);
                return parents.size() < 2;
            });
            if (parents.size() > 1)
                throw QuarnOptions::UsageError("the records of " + expression + " lie under several elements that " +
                                               prefix + " selects; quarn split walks every one only for a path of plain "
                                               "names (such as a/b/c): give such a path, or one that selects one parent");
            if (parents.empty()) throw QuarnOptions::UsageError("path names nothing: " + prefix);
            splitChildren(parents.front());
        }
    } catch (const OutputFile::Failure&) {
        // Writing failed: a run staged whole or replacing leaves nothing (file by file into a
        // folder that held nothing, what was renamed stays).
        holder->deleteElement();
        staging->abandon();
        throw;
    } catch (...) {
        // The records written before a fault in the message are whole documents: they keep their
        // names, unless they would stand among an earlier run's records, which stay as they were.
        holder->deleteElement();
        if (staging->replacing()) staging->abandon();
        else staging->commit();
        throw;
    }
    holder->deleteElement();
    // The input is read whole (and was not cut short) before a record may take its name.
    m.checkInput();
    // Replacing, every record takes its name or none does, and then the earlier ones go.
    staging->commit(o.replace ? &rest : nullptr, true);
    if (!staging->failures().empty()) throw OutputFile::Failure(staging->failures().front().second);
    summary.removed = staging->removed();
    summary.leftovers = staging->leftovers();
    showProgress(summary.records, true);
    summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - iStart).count();
    return summary;
}

void SplitCommand::showProgress(long records, bool last) {
    if (!iShowProgress) return;
    // Redrawn at most ten times a second, as batch's bar is.
    const auto now = std::chrono::steady_clock::now();
    if (!last && now - iLastDrawn < std::chrono::milliseconds(100)) return;
    iLastDrawn = now;
    const double seconds = std::chrono::duration<double>(now - iStart).count();
    std::fprintf(iProgress, "\rsplit: %ld records, %.1f/s   ", records, seconds > 0 ? records / seconds : 0.0);
    if (last) std::fputc('\n', iProgress);
    std::fflush(iProgress);
}

void SplitCommand::printSummary(std::FILE* out, const std::string& folder, const Summary& s) {
    std::fprintf(out, "split: %ld documents written to %s\n", s.records, TreePrinter::printable(folder).c_str());
    if (s.removed) std::fprintf(out, "split: %lu files of an earlier run removed\n", s.removed);
    if (s.leftovers) std::fprintf(out, "split: %lu leftovers of killed runs removed\n", s.leftovers);
}

void SplitCommand::printJsonSummary(std::FILE* out, const std::string& file, const std::string& folder,
                                    const Summary& s) {
    std::fprintf(out,
                 "{\"file\":%s,\"folder\":%s,\"records\":%ld,\"removed\":%lu,\"bytesIn\":%llu,\"bytesOut\":%llu,"
                 "\"seconds\":%.3f}\n",
                 TreePrinter::jsonString(file).c_str(), TreePrinter::jsonString(folder).c_str(), s.records, s.removed,
                 s.bytesIn, s.bytesOut, s.seconds);
}

#include "tools/QuerySubcommands.hpp"

#include "cli/MatchPrinter.hpp"
#include "cli/OutputFile.hpp"
#include "cli/ParserPlugin.hpp"
#include "tools/QuarnCommand.hpp"
#include "cli/QuarnMessage.hpp"
#include "tools/QuarnOptions.hpp"

#include <cstdio>
#include <stdexcept>

namespace {
// Each node is printed when the walk reports it and the tree is not looked at afterwards, so
// the walk deletes what it has passed: a query over a large message holds about one record.
constexpr XmlPathQuery::TreeUse kStream = XmlPathQuery::TreeUse::DeletePassed;

int nothing(const XmlPathQuery& query) {
    std::fprintf(stderr, "quarn: path names nothing: %s\n", query.text().c_str());
    return QuarnCommand::NotFound;
}

void line(const std::string& text) {
    std::string out = text + '\n';
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size()) throw OutputFile::Failure("cannot write to standard output");
}

void flush() {
    if (std::fflush(stdout) != 0) throw OutputFile::Failure("cannot write to standard output");
}
} // namespace

int QuerySubcommands::select(const QuarnOptions& o, const ParserPlugin& plugin) {
    XmlPathQuery query(o.positional[1], o.namespaces);
    QuarnMessage m(o, o.positional[0], true);
    if (query.resultKind() != XmlPathQuery::ResultKind::Nodes) {
        const std::string value = query.string(m.root(), kStream).toUtf8();
        m.checkInput();
        line(value);
        flush();
        return QuarnCommand::Ok;
    }
    MatchPrinter printer(stdout, plugin.inspector(), m.input(), m.ccsid());
    bool failed = false;
    std::size_t found = query.forEach(
        m.root(),
        [&](const XmlPathQuery::Match& match) {
            if (!printer.print(match)) failed = true;
            return !failed && !o.first;
        },
        kStream);
    m.checkInput();
    if (failed) throw OutputFile::Failure("cannot write to standard output");
    flush();
    return found ? QuarnCommand::Ok : nothing(query);
}

int QuerySubcommands::get(const QuarnOptions& o, const ParserPlugin& plugin) {
    (void)plugin;
    XmlPathQuery query(o.positional[1], o.namespaces);
    QuarnMessage m(o, o.positional[0], true);
    if (query.resultKind() != XmlPathQuery::ResultKind::Nodes) {
        const std::string value = query.string(m.root(), kStream).toUtf8();
        m.checkInput();
        line(value);
        flush();
        return QuarnCommand::Ok;
    }
    XmlPathQuery::Match match = query.first(m.root(), kStream);
    if (!match) return nothing(query);
    const std::string value = XmlPathQuery::stringValue(match).toUtf8();
    m.checkInput();
    line(value);
    flush();
    return QuarnCommand::Ok;
}

#include "tools/QuarnCommand.hpp"

#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "host/KelLog.hpp"
#include "host/KelParser.hpp"
#include "host/KelParserInspector.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelWriteBuffer.hpp"
#include "common/XmlElementType.hpp"
#include "tools/BatchRunner.hpp"
#include "tools/ErrorReport.hpp"
#include "tools/MappedInputGuard.hpp"
#include "tools/FlowCommand.hpp"
#include "tools/OutputFile.hpp"
#include "tools/ParserPlugin.hpp"
#include "tools/QuarnMessage.hpp"
#include "tools/QuarnOptions.hpp"
#include "tools/QuerySubcommands.hpp"
#include "tools/SplitCommand.hpp"
#include "tools/TreePrinter.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>

#ifndef QUARN_VERSION
#define QUARN_VERSION "0.1.0"
#endif

namespace {
const char* const kUsage =
    "Usage: quarn SUBCOMMAND [options]\n"
    "\n"
    "  tree FILE             print the element tree (type, name, value, [span] when the element's bytes can be reused)\n"
    "  check FILE            parse the whole message and run the tree checks\n"
    "  write FILE            write the message back, optionally edited or in another code page\n"
    "  get FILE PATH         print the value of the first node PATH selects, scanning no further\n"
    "  select FILE EXPR      print every node a path expression selects (elements as their XML)\n"
    "  batch INDIR OUTDIR    write every message of INDIR into OUTDIR, on all cores\n"
    "  split FILE PATH OUTDIR  write every element PATH names as a document of its own\n"
    "  stats FILE            write the message and show what was parsed, copied and rewritten\n"
    "  flow [FLOWFILE]       route the messages of a RabbitMQ queue by their content, lazily\n"
    "\n"
    "Common options: --ccsid N|NAME (default: found from the message), --encoding E (default 546) or\n"
    "--byte-order be|le, --domain XML|JMSMap|JMSStream, --verbose, --error-format text|json,\n"
    "--trace-level N, --trace-file F. FILE may be - for standard input, and -o - is standard output.\n"
    "An option's value may also follow it after '=' (--ccsid=1200); '--' ends the options.\n"
    "'quarn --version' prints the version.\n"
    "'quarn SUBCOMMAND --help' shows the options of one subcommand, with an example.\n"
    "The parser plug-in libquarnparse is found next to quarn, in ../lib from it, or at the path in\n"
    "the environment variable QUARN_PARSER_PLUGIN.\n"
    "Exit status: 0 ok, 1 bad document (batch: a message failed), 2 usage error, 3 path selects nothing,\n"
    "4 the parser plug-in cannot be loaded, 5 the output cannot be written, 6 the broker refused a flow.\n";

// For suggestions: the subcommands, as options, to share the matching.
const char* const kSubcommandNames = " --tree --check --write --get --select --batch --split --stats --flow --help --version";

const char* subcommandHelp(const std::string& sub) {
    if (sub == "tree")
        return "usage: quarn tree FILE [--ccsid N] [--encoding E] [--domain XML|JMSMap|JMSStream] [--json]\n"
               "  Prints every element: type, name, value, and [span] when its original bytes are reusable.\n"
               "  Lines are indented two spaces a level up to 40 levels; deeper ones say '(depth N)'.\n"
               "  example: quarn tree examples/purchase-order.xml\n";
    if (sub == "check")
        return "usage: quarn check FILE [--ccsid N] [--encoding E] [--domain XML|JMSMap|JMSStream] [--json]\n"
               "  Parses the whole message and runs the tree checks; prints the number of XML elements (tags)\n"
               "  and of syntax elements of every kind (attributes, text, prolog and root included).\n"
               "  example: quarn check examples/purchase-order.xml\n";
    if (sub == "write")
        return "usage: quarn write FILE [--ccsid N] [--encoding E] [--domain D] [--out-ccsid N] [--out-encoding E]\n"
               "                  [--set PATH=VALUE]... [--delete PATH]... [--no-span-reuse] [--no-passthrough]\n"
               "                  [--no-declaration] [-o OUT]\n"
               "  Writes the message back (standard output by default). PATH: names from the document element\n"
               "  down, '/' between them, optional [n], optional final @attribute, e.g. order/item[2]/@qty;\n"
               "  any path of 'quarn select' works, and every node it selects is changed.\n"
               "  A message without an XML declaration written in a page other than UTF-8 or UTF-16 gets one\n"
               "  naming that page; --no-declaration leaves it without.\n"
               "  OUT is written whole or not at all; -o - is standard output. --no-passthrough writes an unchanged\n"
               "  message from its tree instead of handing it back whole; --no-span-reuse writes every element\n"
               "  as markup, copying nothing from the input.\n"
               "  example: quarn write examples/purchase-order.xml --set order/item[2]/@qty=5 -o out.xml\n";
    if (sub == "get")
        return "usage: quarn get FILE PATH [-N PREFIX=URI]... [--ccsid N|NAME] [--encoding E|--byte-order be|le] [--domain D]\n"
               "  Prints the value of the first node PATH selects, as UTF-8: an attribute's or a text's value,\n"
               "  an element's text (exit status 3 when PATH selects nothing). PATH is a path expression as for\n"
               "  'quarn select'; a number, string or boolean prints its value. -N binds a prefix as for select.\n"
               "  example: quarn get examples/purchase-order.xml order/@id\n";
    if (sub == "select")
        return "usage: quarn select FILE EXPR [--first] [-N PREFIX=URI]... [--ccsid N|NAME] [--encoding E|--byte-order be|le]\n"
               "                   [--domain D]\n"
               "  Prints every node EXPR selects, in document order, one per line: elements as their XML copied\n"
               "  from the message, attributes and text as their values; a number, string or boolean\n"
               "  (count(PATH), sum(PATH), string(PATH), PATH > 4) prints its value. --first stops at the first\n"
               "  node, so the message is scanned no further.\n"
               "  EXPR: XPath 1.0 without named axes, variables, lang() and id(): /a/b, a/b (from the document),\n"
               "  //b, *, @name, @*, .., text(), node(), comment(), [2], [last()], [@id='x'], (//b)[2], a | b,\n"
               "  + - * div mod, = != < > and or, and the core functions (contains(), substring(), concat() ...).\n"
               "  -N or --namespace PREFIX=URI (repeatable) binds PREFIX: p:name then matches the elements and\n"
               "  attributes the document's declarations put in URI, whatever prefix it uses there.\n"
               "  example: quarn select examples/purchase-order.xml '//item[@qty>1]/@sku'\n"
               "  example: quarn select -N s=http://schemas.xmlsoap.org/soap/envelope/ msg.xml '/s:Envelope/s:Body/*'\n";
    if (sub == "batch")
        return "usage: quarn batch INDIR OUTDIR [write options] [--jobs N] [--progress|--no-progress]\n"
               "                  [--recursive] [--include GLOB]... [--replace] [--in-place] [--sync-each] [--json]\n"
               "  Writes every file of INDIR to OUTDIR under the same name, as 'quarn write' would, on N threads\n"
               "  (default: one per core); --recursive takes the folders below INDIR too and makes the same\n"
               "  folders below OUTDIR; --include takes only files whose name matches GLOB (e.g. '*.xml').\n"
               "  A progress bar with the rate and the time left goes to standard error when it is a terminal.\n"
               "  A failed message leaves no file and does not stop the others; the summary lists it, and the\n"
               "  exit status is then 1. OUTDIR must be new or empty: --replace replaces what it holds (after\n"
               "  the run it holds only what the run wrote); OUTDIR may be INDIR only with --in-place, which\n"
               "  replaces each message by its output (a failed one is left as it was). Files are synced to\n"
               "  disk once per thousand and at the end, each renamed into place only then; --sync-each syncs\n"
               "  every file as it is written.\n"
               "  example: quarn batch examples/batch out --out-ccsid 1200 --jobs 2\n";
    if (sub == "split")
        return "usage: quarn split FILE PATH OUTDIR [--ccsid N] [--encoding E] [--domain D] [--out-ccsid N]\n"
               "                  [--out-encoding E] [--check|--no-check] [--replace] [--sync-each]\n"
               "                  [--progress|--no-progress] [--json]\n"
               "  Writes every element that PATH names (the same-named children of every element its other steps\n"
               "  name) to OUTDIR/NAME-000001.xml, NAME-000002.xml, ..., each a document of its own, copied from\n"
               "  the input where it can be, with a declaration when the output page needs one. Each record\n"
               "  stands alone: the namespaces in scope are declared on it, entity references are expanded and\n"
               "  defaulted attributes written. Memory stays flat however many records the message holds when\n"
               "  PATH is plain names (a/b/c); another form must select one parent. The whole input is checked\n"
               "  first unless --no-check. OUTDIR must be new or empty: --replace replaces what it holds. Files\n"
               "  are synced once per thousand and at the end (--sync-each: each one); --progress shows the\n"
               "  count on standard error, --json prints the summary as JSON.\n"
               "  example: quarn split examples/purchase-order.xml order/item out\n";
    if (sub == "stats")
        return "usage: quarn stats FILE [write options] [-o OUT] [--json]\n"
               "  Writes the message as 'quarn write' would (to OUT, or nowhere) and shows, after the edits and\n"
               "  after the write, the elements built and scan steps run, the bytes copied from the input and\n"
               "  written as markup, and the time of each phase.\n"
               "  example: quarn stats examples/purchase-order.xml --set order/item[2]/@qty=5\n";
    if (sub == "flow") return FlowCommand::help();
    return nullptr;
}

void checkCcsid(int ccsid, const char* option) {
    if (!KelConverter::isSupported(ccsid))
        throw QuarnOptions::UsageError(std::string("unknown or unsupported ccsid ") + std::to_string(ccsid) + " (" +
                                       option + ")");
}

bool writeAll(std::FILE* out, const unsigned char* data, std::size_t n) {
    return std::fwrite(data, 1, n, out) == n && std::fflush(out) == 0;
}
} // namespace

void QuarnCommand::printUsage(const std::string& subcommand) {
    const char* help = subcommandHelp(subcommand);
    std::fputs(help ? help : kUsage, stdout);
}

int QuarnCommand::run(const std::vector<std::string>& arguments) {
    if (arguments.empty()) {
        std::fputs(kUsage, stderr);
        return Usage;
    }
    const std::string& sub = arguments[0];
    if (sub == "-h" || sub == "--help" || sub == "help") {
        printUsage(arguments.size() > 1 ? arguments[1] : std::string());
        return Ok;
    }
    if (sub == "--version") {
        std::printf("quarn %s\n", QUARN_VERSION);
        return Ok;
    }
    if (!subcommandHelp(sub)) {
        // Subcommands are matched as if they were options, so that one matcher serves both.
        const bool dashed = sub.rfind("--", 0) == 0;
        std::string guess = QuarnOptions::closestOption(dashed ? sub : "--" + sub, kSubcommandNames);
        if (!dashed && guess.rfind("--", 0) == 0 && guess != "--help" && guess != "--version") guess.erase(0, 2);
        std::fprintf(stderr, "quarn: unknown subcommand '%s'%s\n%s", sub.c_str(),
                     guess.empty() ? "" : (" (did you mean " + guess + "?)").c_str(),
                     kUsage);
        return Usage;
    }
    if (sub == "flow") return FlowCommand().run({arguments.begin() + 1, arguments.end()});
    QuarnOptions options;
    try {
        options = QuarnOptions::parse(sub, {arguments.begin() + 1, arguments.end()});
        if (options.help) {
            printUsage(sub);
            return Ok;
        }
        if (!options.traceFile.empty()) KelLog::setFile(options.traceFile);
        if (options.traceLevel >= 0) KelLog::setLevel(options.traceLevel);
        if (options.ccsid != -1) checkCcsid(options.ccsid, "--ccsid");
        if (options.outCcsid != -1) checkCcsid(options.outCcsid, "--out-ccsid");
    } catch (const QuarnOptions::UnknownOption& e) {
        // Among the subcommand's options and the common ones of the usage text.
        std::string guess = QuarnOptions::closestOption(e.option, std::string(subcommandHelp(sub)) + kUsage);
        std::fprintf(stderr, "quarn: %s%s\n", e.what(), guess.empty() ? "" : ("; did you mean " + guess + "?").c_str());
        return Usage;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quarn: %s\n", e.what());
        return Usage;
    }
    std::unique_ptr<ParserPlugin> plugin = ParserPlugin::loadOrReport();
    if (!plugin) return NoPlugin;
    try {
        if (sub == "tree") return tree(options, *plugin);
        if (sub == "check") return check(options, *plugin);
        if (sub == "write") return write(options);
        if (sub == "batch") return batch(options);
        if (sub == "stats") return stats(options, *plugin);
        if (sub == "split") {
            const bool progress = options.progress == QuarnOptions::ProgressOn ||
                                  (options.progress == QuarnOptions::ProgressAuto && ::isatty(STDERR_FILENO));
            const SplitCommand::Summary summary = SplitCommand(options, progress, stderr).run();
            if (options.json)
                SplitCommand::printJsonSummary(stdout, options.positional[0], options.positional[2], summary);
            else
                SplitCommand::printSummary(stdout, options.positional[2], summary);
            return Ok;
        }
        if (sub == "select") return QuerySubcommands::select(options, *plugin);
        return QuerySubcommands::get(options, *plugin);
    } catch (const QuarnOptions::UsageError& e) {
        std::fprintf(stderr, "quarn: %s\n", e.what());
        return Usage;
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "quarn: %s\n", e.what());
        return Usage;
    } catch (const KelException& e) {
        // Zeros where a shrunken input lost its bytes explain a parse error: say so instead.
        if (MappedInputGuard::anyChanged()) {
            std::fprintf(stderr, "quarn: cannot read %s: the file shrank while it was read\n", options.positional[0].c_str());
            return Usage;
        }
        ErrorReport::print(stderr, e, options.jsonErrors ? ErrorReport::Format::Json : ErrorReport::Format::Text,
                           options.verbose);
        return BadDocument;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "quarn: out of memory\n");
        return BadDocument;
    } catch (const OutputFile::Failure& e) {
        std::fprintf(stderr, "quarn: %s\n", e.what());
        return OutputFailed;
    } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "quarn: %s\n", e.what());
        return Usage;
    }
}

int QuarnCommand::tree(const QuarnOptions& o, const ParserPlugin& plugin) {
    QuarnMessage m(o, o.positional[0], true);
    TreePrinter printer(stdout, plugin.inspector());
    if (o.json)
        printer.printJson(m.root());
    else
        printer.printText(m.root());
    m.checkInput();
    return Ok;
}

int QuarnCommand::check(const QuarnOptions& o, const ParserPlugin& plugin) {
    if (!o.json) return checkMessage(o, plugin);
    // --json: the verdict is the result, on standard output, either way; a bad document is still
    // reported on standard error and exits with 1.
    try {
        return checkMessage(o, plugin);
    } catch (const KelException& failure) {
        const std::string report = ErrorReport::json(failure);
        std::printf("{\"wellFormed\":false,%s\n", report.c_str() + 1);
        std::fflush(stdout);
        throw;
    }
}

int QuarnCommand::checkMessage(const QuarnOptions& o, const ParserPlugin& plugin) {
    QuarnMessage m(o, o.positional[0], true);
    // Without a tree where the parser can: the same errors, in memory that does not grow.
    const long checked = m.check();
    if (checked >= 0) {
        const long xmlElements = plugin.inspector().statistics(m.parser()).xmlElementsChecked;
        if (o.json)
            std::printf("{\"file\":%s,\"wellFormed\":true,\"xmlElements\":%ld,\"syntaxElements\":%ld}\n",
                        TreePrinter::jsonString(o.positional[0]).c_str(), xmlElements, checked);
        else
            std::printf("%s: well-formed, %ld XML elements, %ld syntax elements\n", o.positional[0].c_str(), xmlElements,
                        checked);
        return Ok;
    }
    m.parser()->validate();
    // Everything is parsed by now; count what the checks walked: the XML elements (tags) apart
    // from the syntax elements of every kind (attributes, text, the root, the prolog...).
    unsigned long count = 0, xmlElements = 0;
    KelSyntaxElement* root = m.root();
    KelSyntaxElement* e = root;
    while (e) {
        ++count;
        if (e->type() == XmlTypeElement) ++xmlElements;
        if (KelSyntaxElement* c = e->firstChild()) {
            e = c;
            continue;
        }
        while (e && e != root && !e->nextSibling()) e = e->parent();
        e = (e && e != root) ? e->nextSibling() : nullptr;
    }
    m.checkInput();
    if (o.json)
        std::printf("{\"file\":%s,\"wellFormed\":true,\"xmlElements\":%lu,\"syntaxElements\":%lu}\n",
                    TreePrinter::jsonString(o.positional[0]).c_str(), xmlElements, count);
    else
        std::printf("%s: well-formed, %lu XML elements, %lu syntax elements\n", o.positional[0].c_str(), xmlElements,
                    count);
    return Ok;
}

int QuarnCommand::write(const QuarnOptions& o) {
    QuarnMessage m(o, o.positional[0], o.spanReuse);
    m.applyEdits();
    m.write();
    m.checkInput();
    const KelWriteBuffer& out = m.output();
    if (!o.outputIsStandardOutput()) {
        OutputFile::write(o.output, out.data(), static_cast<std::size_t>(out.used()));
    } else if (!writeAll(stdout, out.data(), static_cast<std::size_t>(out.used()))) {
        throw OutputFile::Failure(std::string("cannot write to standard output: ") + std::strerror(errno));
    }
    return Ok;
}

int QuarnCommand::batch(const QuarnOptions& o) {
    const bool progress = o.progress == QuarnOptions::ProgressOn ||
                          (o.progress == QuarnOptions::ProgressAuto && ::isatty(STDERR_FILENO));
    BatchRunner runner(o, progress, stderr);
    BatchRunner::Summary summary = runner.run(o.positional[0], o.positional[1]);
    if (o.json)
        BatchRunner::printJsonSummary(stdout, summary);
    else
        BatchRunner::printSummary(stdout, summary);
    std::fflush(stdout);
    return summary.failures.empty() ? Ok : BadDocument;
}

int QuarnCommand::stats(const QuarnOptions& o, const ParserPlugin& plugin) {
    if (o.output == "-") throw QuarnOptions::UsageError("quarn stats prints its table on standard output; -o - would mix the message into it");
    QuarnMessage m(o, o.positional[0], o.spanReuse);
    const KelParserInspector& inspector = plugin.inspector();
    m.applyEdits();
    const KelParserStatistics edited = inspector.statistics(m.parser());
    m.write();
    const KelParserStatistics written = inspector.statistics(m.parser());
    m.checkInput();
    const KelWriteBuffer& out = m.output();
    if (!o.output.empty()) OutputFile::write(o.output, out.data(), static_cast<std::size_t>(out.used()));

    // The writer did not run when the stored bitstream was given back whole.
    const bool passedThrough = written.bytesFromSpans + written.bytesAsMarkup == 0 && out.used() > 0;
    if (o.json) {
        auto phase = [](const char* name, double ms, const KelParserStatistics* s) {
            std::printf("{\"phase\":\"%s\",\"ms\":%.3f", name, ms);
            if (s) std::printf(",\"scanSteps\":%ld,\"elementsBuilt\":%ld", s->scanSteps, s->elementsBuilt);
            std::printf("}");
        };
        std::printf("{\"file\":%s,\"phases\":[", TreePrinter::jsonString(o.positional[0]).c_str());
        phase("read", m.readMs, nullptr);
        std::printf(",");
        phase("edit", m.editMs, &edited);
        std::printf(",");
        phase("write", m.writeMs, &written);
        std::printf("],\"bytesIn\":%ld,\"bytesOut\":%ld,\"passedThrough\":%s,\"bytesFromSpans\":%ld,"
                    "\"bytesAsMarkup\":%ld}\n",
                    static_cast<long>(m.input().length()), out.used(), passedThrough ? "true" : "false",
                    written.bytesFromSpans, written.bytesAsMarkup);
        std::fflush(stdout);
        return Ok;
    }
    std::printf("%-8s %12s %12s %16s\n", "phase", "time (ms)", "scan steps", "elements built");
    std::printf("%-8s %12.3f\n", "read", m.readMs);
    std::printf("%-8s %12.3f %12ld %16ld\n", "edit", m.editMs, edited.scanSteps, edited.elementsBuilt);
    std::printf("%-8s %12.3f %12ld %16ld\n", "write", m.writeMs, written.scanSteps, written.elementsBuilt);
    std::printf("bytes in:  %ld\n", static_cast<long>(m.input().length()));
    std::printf("bytes out: %ld\n", out.used());
    if (passedThrough) {
        std::printf("  passed through whole: %ld\n", out.used());
    } else {
        std::printf("  copied from spans:    %ld\n", written.bytesFromSpans);
        std::printf("  written as markup:    %ld\n", written.bytesAsMarkup);
    }
    return Ok;
}

int QuarnCommand::finish(int status) {
    // What was printed counts only once it has left the process: a full disk or a closed
    // descriptor is an output failure, not a success.
    errno = 0;
    bool ok = std::fflush(stdout) == 0;
    int err = errno;
    if (std::ferror(stdout)) ok = false;
    errno = 0;
    if (std::fclose(stdout) != 0 && ok) {
        ok = false;
        err = errno;
    }
    // An output failure reported already is not reported twice.
    if (ok || status == OutputFailed) return status;
    std::fprintf(stderr, "quarn: cannot write to standard output: %s\n", err ? std::strerror(err) : "write error");
    return status == Ok ? OutputFailed : status;
}

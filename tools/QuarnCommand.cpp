#include "tools/QuarnCommand.hpp"

#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "host/KelLog.hpp"
#include "host/KelMappedPageGuard.hpp"
#include "host/KelParser.hpp"
#include "host/KelParserInspector.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelWriteBuffer.hpp"
#include "common/XmlElementType.hpp"
#include "tools/BatchRunner.hpp"
#include "cli/ErrorReport.hpp"
#include "cli/OutputFile.hpp"
#include "cli/ParserPlugin.hpp"
#include "cli/QuarnMessage.hpp"
#include "tools/QuarnOptions.hpp"
#include "tools/SplitCommand.hpp"
#include "tools/SubcommandTable.hpp"
#include "cli/TreePrinter.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#ifndef QUARN_VERSION
#define QUARN_VERSION "0.1.0"
#endif

namespace {
void checkCcsid(int ccsid, const char* option) {
    if (!KelConverter::isSupported(ccsid))
        throw QuarnOptions::UsageError(std::string("unknown or unsupported ccsid ") + std::to_string(ccsid) + " (" +
                                       option + ")");
}

bool writeAll(std::FILE* out, const unsigned char* data, std::size_t n) {
    return std::fwrite(data, 1, n, out) == n && std::fflush(out) == 0;
}
} // namespace

bool QuarnCommand::openTraceFile(const std::string& path) {
    if (path.empty() || KelLog::setFile(path)) return true;
    std::fprintf(stderr, "quarn: cannot write the trace file %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
}

bool QuarnCommand::traceFileIsAnInput(const std::string& path, const std::vector<std::string>& inputs) {
    struct stat trace {};
    if (path.empty() || ::stat(path.c_str(), &trace) != 0 || !S_ISREG(trace.st_mode)) return false;
    for (const std::string& input : inputs) {
        struct stat in {};
        if (input == "-" || ::stat(input.c_str(), &in) != 0 || in.st_dev != trace.st_dev || in.st_ino != trace.st_ino)
            continue;
        std::fprintf(stderr, "quarn: --trace-file %s is the input %s: the trace would be written into it\n", path.c_str(),
                     input.c_str());
        return true;
    }
    return false;
}

void QuarnCommand::printUsage(const std::string& subcommand) {
    const SubcommandTable::Subcommand* sub = SubcommandTable::find(subcommand);
    std::fputs((sub ? SubcommandTable::help(*sub) : SubcommandTable::usage()).c_str(), stdout);
}

int QuarnCommand::run(const std::vector<std::string>& arguments) {
    if (arguments.empty()) {
        std::fputs(SubcommandTable::usage().c_str(), stderr);
        return Usage;
    }
    const std::string& name = arguments[0];
    const auto unknown = [](const std::string& subcommand) {
        const std::string guess = SubcommandTable::closestSubcommand(subcommand);
        std::fprintf(stderr, "quarn: unknown subcommand '%s'%s\n%s", subcommand.c_str(),
                     guess.empty() ? "" : (" (did you mean " + guess + "?)").c_str(), SubcommandTable::usage().c_str());
        return Usage;
    };
    if (name == "-h" || name == "--help" || name == "help") {
        // Help for a subcommand there is not is the same slip as running it.
        if (arguments.size() > 1 && !SubcommandTable::find(arguments[1])) return unknown(arguments[1]);
        printUsage(arguments.size() > 1 ? arguments[1] : std::string());
        return Ok;
    }
    if (name == "--version") {
        std::printf("quarn %s\n", QUARN_VERSION);
        return Ok;
    }
    const SubcommandTable::Subcommand* sub = SubcommandTable::find(name);
    if (!sub) return unknown(name);
    if (sub->runArguments) return sub->runArguments({arguments.begin() + 1, arguments.end()});
    QuarnOptions options;
    try {
        options = SubcommandTable::parse(*sub, {arguments.begin() + 1, arguments.end()});
        if (options.help) {
            printUsage(name);
            return Ok;
        }
        if (options.traceLevel >= 0) KelLog::setLevel(options.traceLevel);
        if (options.ccsid != -1) checkCcsid(options.ccsid, "--ccsid");
        if (options.outCcsid != -1) checkCcsid(options.outCcsid, "--out-ccsid");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quarn: %s\n", e.what());
        return Usage;
    }
    if (std::string(sub->operands).rfind("FILE", 0) == 0 && !options.positional.empty() &&
        traceFileIsAnInput(options.traceFile, {options.positional[0]}))
        return Usage;
    if (!openTraceFile(options.traceFile)) return OutputFailed;
    std::unique_ptr<ParserPlugin> plugin = ParserPlugin::loadOrReport();
    if (!plugin) return NoPlugin;
    try {
        return sub->run(options, *plugin);
    } catch (const QuarnOptions::UsageError& e) {
        std::fprintf(stderr, "quarn: %s\n", e.what());
        return Usage;
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "quarn: %s\n", e.what());
        return Usage;
    } catch (const KelException& e) {
        // Zeros where a shrunken input lost its bytes explain a parse error: say so instead.
        if (KelMappedPageGuard::anyChanged()) {
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
            std::printf("%s: well-formed, %ld XML elements, %ld syntax elements\n",
                        TreePrinter::printable(o.positional[0]).c_str(), xmlElements, checked);
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
        std::printf("%s: well-formed, %lu XML elements, %lu syntax elements\n",
                    TreePrinter::printable(o.positional[0]).c_str(), xmlElements, count);
    return Ok;
}

int QuarnCommand::write(const QuarnOptions& o, const ParserPlugin&) {
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

int QuarnCommand::split(const QuarnOptions& o, const ParserPlugin& plugin) {
    const bool progress = o.progress == QuarnOptions::ProgressOn ||
                          (o.progress == QuarnOptions::ProgressAuto && ::isatty(STDERR_FILENO));
    const SplitCommand::Summary summary = SplitCommand(o, plugin.inspector(), progress, stderr).run();
    if (o.json)
        SplitCommand::printJsonSummary(stdout, o.positional[0], o.positional[2], summary);
    else
        SplitCommand::printSummary(stdout, o.positional[2], summary);
    return Ok;
}

int QuarnCommand::batch(const QuarnOptions& o, const ParserPlugin&) {
    const bool progress = o.progress == QuarnOptions::ProgressOn ||
                          (o.progress == QuarnOptions::ProgressAuto && ::isatty(STDERR_FILENO));
    BatchRunner runner(o, progress, stderr);
    BatchRunner::Summary summary = runner.run(o.positional[0], o.positional[1]);
    if (o.json)
        BatchRunner::printJsonSummary(stdout, summary);
    else
        BatchRunner::printSummary(stdout, summary, o.verbose);
    // The summary is the only list of the messages that failed: a summary that could not be
    // printed outranks them (finish would say so too, without the reason).
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        throw OutputFile::Failure(std::string("cannot write to standard output: ") + std::strerror(errno));
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

void QuarnCommand::holdClosedStandardDescriptors() {
    // Standard input opened for writing only, standard output and error for reading only: each
    // use fails with EBADF, as on the closed descriptor, and its close at the end succeeds, so a
    // run that prints nothing there (`-o OUT`) is not failed for it.
    const int modes[] = {O_WRONLY, O_RDONLY, O_RDONLY};
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int held = ::open("/dev/null", modes[fd]);
        if (held >= 0 && held != fd) {
            ::dup2(held, fd);
            ::close(held);
        }
    }
}

void QuarnCommand::failWritesToClosedPipes() {
    std::signal(SIGPIPE, SIG_IGN);
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
    // A batch's list of failed messages, check's verdict: lost with the output, which a caller
    // must hear of first. A usage error or a missing plug-in printed nothing that was asked for.
    return status == Ok || status == BadDocument || status == NotFound ? OutputFailed : status;
}

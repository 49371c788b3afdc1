#include "tools/QuarnCommand.hpp"

#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "host/KelLog.hpp"
#include "host/KelMessageGroup.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelWriteBuffer.hpp"
#include "parser/XmlElementType.hpp"
#include "parser/XmlKelParser.hpp"
#include "tools/ElementPath.hpp"
#include "tools/InputFile.hpp"
#include "tools/QuarnOptions.hpp"
#include "tools/TreePrinter.hpp"

#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>

#ifndef QUARN_VERSION
#define QUARN_VERSION "0.1.0"
#endif

namespace {
const char* const kUsage =
    "usage: quarn SUBCOMMAND [options]\n"
    "\n"
    "  tree FILE    print the element tree (type, name, value, [span] when the element's bytes can be reused)\n"
    "  check FILE   parse the whole message and run the tree checks\n"
    "  write FILE   write the message back, optionally edited or in another code page\n"
    "  get FILE PATH  print one value, scanning no further than PATH needs\n"
    "\n"
    "Common options: --ccsid N (default 1208), --encoding E (default 546), --trace-level N, --trace-file F.\n"
    "FILE may be - for standard input. 'quarn SUBCOMMAND --help' shows the options of one subcommand.\n"
    "Exit status: 0 ok, 1 bad document, 2 usage error, 3 path names nothing.\n";

const char* subcommandHelp(const std::string& sub) {
    if (sub == "tree")
        return "usage: quarn tree FILE [--ccsid N] [--encoding E] [--domain XML|JMSMap|JMSStream] [--json]\n"
               "  Prints every element: type, name, value, and [span] when its original bytes are reusable.\n"
               "  example: quarn tree examples/purchase-order.xml\n";
    if (sub == "check")
        return "usage: quarn check FILE [--ccsid N] [--encoding E] [--domain XML|JMSMap|JMSStream]\n"
               "  Parses the whole message and runs the tree checks; prints the element count.\n"
               "  example: quarn check examples/purchase-order.xml\n";
    if (sub == "write")
        return "usage: quarn write FILE [--ccsid N] [--encoding E] [--out-ccsid N] [--out-encoding E]\n"
               "                  [--set PATH=VALUE]... [--delete PATH]... [--no-span-reuse] [--no-passthrough] [-o OUT]\n"
               "  Writes the message back (standard output by default). PATH: names from the document element\n"
               "  down, '/' between them, optional [n], optional final @attribute, e.g. order/item[2]/@qty.\n"
               "  example: quarn write examples/purchase-order.xml --set order/item[2]/@qty=5 -o out.xml\n";
    if (sub == "get")
        return "usage: quarn get FILE PATH [--ccsid N] [--encoding E]\n"
               "  Prints the value at PATH as UTF-8 (exit status 3 when PATH names nothing).\n"
               "  example: quarn get examples/purchase-order.xml order/@id\n";
    return nullptr;
}

int domainKind(const std::string& domain) {
    if (domain == "JMSMap") return XmlKelParser::KindJmsMap;
    if (domain == "JMSStream") return XmlKelParser::KindJmsStream;
    return XmlKelParser::KindXml;
}

void checkCcsid(int ccsid, const char* option) {
    if (!KelConverter::isSupported(ccsid))
        throw QuarnOptions::UsageError(std::string("unknown or unsupported ccsid ") + std::to_string(ccsid) + " (" +
                                       option + ")");
}

// The parts of one run that hold the message: group, parser, tree.
struct Session {
    KelMessageGroup group;
    std::unique_ptr<XmlKelParser> parser;
    KelBuffer input;

    Session(const QuarnOptions& o, const std::string& file, bool spanReuse) {
        input = InputFile::read(file);
        parser = std::make_unique<XmlKelParser>(&group, KelStringBase::fromUtf8(o.domain), domainKind(o.domain),
                                                spanReuse);
        parser->initialize();
        parser->refreshElementsFromBitStream(nullptr, input, o.encoding, o.ccsid);
    }
    KelSyntaxElement* root() const { return parser->rootElement(); }
};

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
        std::fprintf(stderr, "quarn: unknown subcommand '%s'\n%s", sub.c_str(), kUsage);
        return Usage;
    }
    try {
        QuarnOptions options = QuarnOptions::parse(sub, {arguments.begin() + 1, arguments.end()});
        if (options.help) {
            printUsage(sub);
            return Ok;
        }
        if (!options.traceFile.empty()) KelLog::setFile(options.traceFile);
        if (options.traceLevel >= 0) KelLog::setLevel(options.traceLevel);
        checkCcsid(options.ccsid, "--ccsid");
        if (options.outCcsid != -1) checkCcsid(options.outCcsid, "--out-ccsid");
        if (sub == "tree") return tree(options);
        if (sub == "check") return check(options);
        if (sub == "write") return write(options);
        return get(options);
    } catch (const QuarnOptions::UsageError& e) {
        std::fprintf(stderr, "quarn: %s\n", e.what());
        return Usage;
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "quarn: %s\n", e.what());
        return Usage;
    } catch (const KelException& e) {
        std::fprintf(stderr, "quarn: %s\n", e.what());
        return BadDocument;
    } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "quarn: %s\n", e.what());
        return Usage;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "quarn: out of memory\n");
        return BadDocument;
    }
}

int QuarnCommand::tree(const QuarnOptions& o) {
    Session s(o, o.positional[0], true);
    TreePrinter printer(stdout);
    if (o.json)
        printer.printJson(s.root());
    else
        printer.printText(s.root());
    std::fflush(stdout);
    return Ok;
}

int QuarnCommand::check(const QuarnOptions& o) {
    Session s(o, o.positional[0], true);
    s.parser->validate();
    unsigned long count = 0;
    // Everything is parsed by now; count what the checks walked.
    KelSyntaxElement* e = s.root();
    while (e) {
        ++count;
        if (KelSyntaxElement* c = e->firstChild()) {
            e = c;
            continue;
        }
        while (e && e != s.root() && !e->nextSibling()) e = e->parent();
        e = (e && e != s.root()) ? e->nextSibling() : nullptr;
    }
    std::printf("%s: well-formed, %lu elements\n", o.positional[0].c_str(), count);
    return Ok;
}

int QuarnCommand::write(const QuarnOptions& o) {
    Session s(o, o.positional[0], o.spanReuse);
    for (const QuarnOptions::Edit& edit : o.edits) {
        ElementPath path(edit.path);
        KelSyntaxElement* element = path.findElement(s.root());
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
    int outCcsid = o.outCcsid != -1 ? o.outCcsid : o.ccsid;
    int outEncoding = o.outEncodingGiven ? o.outEncoding : o.encoding;
    s.parser->setReuseBitStream(o.edits.empty() && o.passthrough);
    KelWriteBuffer out(outCcsid);
    s.parser->refreshBitStreamFromElements(nullptr, &out, s.root(), outEncoding, outCcsid);
    if (o.output.empty()) {
        if (!writeAll(stdout, out.data(), static_cast<std::size_t>(out.used())))
            throw std::runtime_error("cannot write to standard output");
        return Ok;
    }
    // Written under a temporary name and renamed, so a failure never leaves a partial file.
    std::string temp = o.output + ".quarn-tmp-" + std::to_string(::getpid());
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot create " + temp + ": " + std::strerror(errno));
    bool ok = writeAll(f, out.data(), static_cast<std::size_t>(out.used()));
    ok = (std::fclose(f) == 0) && ok;
    if (!ok || std::rename(temp.c_str(), o.output.c_str()) != 0) {
        std::remove(temp.c_str());
        throw std::runtime_error("cannot write " + o.output);
    }
    return Ok;
}

int QuarnCommand::get(const QuarnOptions& o) {
    ElementPath path(o.positional[1]);
    Session s(o, o.positional[0], true);
    KelSyntaxElement* target = path.find(s.root());
    if (!target) {
        std::fprintf(stderr, "quarn: path names nothing: %s\n", path.text().c_str());
        return NotFound;
    }
    std::string text = target->value().valueAsCharacter().toUtf8();
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return Ok;
}

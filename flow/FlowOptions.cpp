#include "flow/FlowOptions.hpp"

#include "cli/InputFile.hpp"
#include "cli/UnknownOption.hpp"
#include "cli/UsageError.hpp"
#include "flow/AmqpConnection.hpp"
#include "host/KelEncodingDetector.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <set>
#include <sstream>

namespace {
// The command line's own options; every setting of a flow file is an option too, as --KEYWORD.
const std::set<std::string> kOptions = {"-h", "--help", "--json", "--full-walk", "--dead-letters", "--requeue",
                                        "--no-check", "--max-messages", "--idle-exit", "--send", "--trace-level",
                                        "--trace-file"};
const std::set<std::string> kSettings = {"broker", "queue", "exchange", "dead-letter", "route", "default", "set",
                                         "delete", "ccsid", "encoding", "out-ccsid", "out-encoding", "prefetch",
                                         "domain"};

bool takes(const std::string& option) {
    return kOptions.count(option) != 0 || (option.compare(0, 2, "--") == 0 && kSettings.count(option.substr(2)) != 0);
}

long number(const std::string& what, const std::string& text, long low, long high) {
    errno = 0;
    char* end = nullptr;
    long n = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno != 0 || n < low || n > high)
        throw UsageError(what + " needs a number from " + std::to_string(low) + " to " + std::to_string(high) +
                         ", not '" + text + "'");
    return n;
}

// An encoding value names the byte order in its low four bits, as --encoding's does.
int encodingSetting(const std::string& what, const std::string& text) {
    const int encoding = static_cast<int>(number(what, text, 0, INT_MAX));
    if (!KelEncodingDetector::namesByteOrder(encoding))
        throw UsageError(what + " " + text + ": " + KelEncodingDetector::kByteOrderRule);
    return encoding;
}
// A queue or exchange name is an AMQP short string: a longer one cannot even be sent, and the
// connection that tried was taken for lost and made again for ever.
const std::string& brokerName(const std::string& what, const std::string& name) {
    if (name.size() > 255)
        throw UsageError(what + " names have at most 255 bytes, not " + std::to_string(name.size()));
    return name;
}
} // namespace

void FlowOptions::setting(const std::string& keyword, const std::string& value) {
    auto edit = [&](MessageOptions::Edit::Kind kind) {
        if (kind == MessageOptions::Edit::Delete) {
            XmlPathQuery check(value);
            message.edits.emplace_back(kind, value, std::string());
            return;
        }
        // The '=' that ends the path is the first one outside predicates and quotes, as for
        // --set of write and batch: "order[@id='1']/qty=5" sets qty.
        const std::size_t eq = MessageOptions::pathValueSeparator(value);
        if (eq == std::string::npos || eq == 0) throw UsageError("set needs PATH=VALUE, not '" + value + "'");
        XmlPathQuery check(value.substr(0, eq));
        message.edits.emplace_back(kind, value.substr(0, eq), value.substr(eq + 1));
    };
    try {
        if (keyword == "broker") {
            AmqpConnection::Address::parse(value);   // refused here, where the line is known
            broker = value;
        } else if (keyword == "queue") {
            queue = brokerName("queue", value);
        } else if (keyword == "exchange") {
            exchange = value == "\"\"" ? std::string() : brokerName("exchange", value);
        } else if (keyword == "dead-letter") {
            deadLetter = brokerName("dead-letter queue", value);
        } else if (keyword == "route") {
            router.add(FlowRouter::parseRule(value));
        } else if (keyword == "default") {
            FlowRouter::checkKey(value);
            router.setDefaultKey(value);
        } else if (keyword == "set") {
            edit(MessageOptions::Edit::Set);
        } else if (keyword == "delete") {
            edit(MessageOptions::Edit::Delete);
        } else if (keyword == "ccsid") {
            message.ccsid = MessageOptions::ccsidNamed(keyword, value, message.encoding, message.encodingGiven);
        } else if (keyword == "encoding") {
            message.encoding = encodingSetting(keyword, value);
            message.encodingGiven = true;
        } else if (keyword == "out-ccsid") {
            message.outCcsid = MessageOptions::ccsidNamed(keyword, value, message.outEncoding, message.outEncodingGiven);
        } else if (keyword == "out-encoding") {
            message.outEncoding = encodingSetting(keyword, value);
            message.outEncodingGiven = true;
        } else if (keyword == "prefetch") {
            prefetch = static_cast<int>(number(keyword, value, 1, 65535));
        } else if (keyword == "domain") {
            if (value != "XML" && value != "JMSMap" && value != "JMSStream")
                throw UsageError("domain must be XML, JMSMap or JMSStream");
            message.domain = value;
        } else {
            throw UsageError("unknown setting '" + keyword + "'");
        }
    } catch (const std::invalid_argument& e) {
        throw UsageError(e.what());
    }
}

void FlowOptions::readFlowText(const std::string& text, const std::string& origin) {
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        line = MessageOptions::trimmed(line);
        if (line.empty() || line[0] == '#') continue;
        std::size_t space = line.find_first_of(" \t");
        std::string keyword = line.substr(0, space);
        std::string value = space == std::string::npos ? std::string() : MessageOptions::trimmed(line.substr(space));
        if (value.empty()) throw UsageError(origin + ":" + std::to_string(number) + ": " + keyword + " needs a value");
        try {
            setting(keyword, value);
        } catch (const UsageError& e) {
            throw UsageError(origin + ":" + std::to_string(number) + ": " + e.what());
        }
    }
}

FlowOptions FlowOptions::parse(const std::vector<std::string>& arguments) {
    FlowOptions o;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= arguments.size()) throw UsageError(a + " needs a value");
            return arguments[++i];
        };
        // The command's table of subcommands lists the same options for its help, and names the
        // closest one to an option refused here.
        if (a.size() > 1 && a[0] == '-' && !takes(a)) throw UnknownOption(a, "flow");
        if (a == "-h" || a == "--help") {
            o.help = true;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--full-walk") {
            o.fullWalk = true;
        } else if (a == "--dead-letters") {
            o.deadLetters = true;
        } else if (a == "--requeue") {
            o.requeue = true;
        } else if (a == "--no-check") {
            o.message.check = MessageOptions::CheckNever;
        } else if (a == "--max-messages") {
            o.maxMessages = number(a, value(), 1, LONG_MAX);
        } else if (a == "--idle-exit") {
            const std::string& v = value();
            char* end = nullptr;
            o.idleExit = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !(o.idleExit > 0) || o.idleExit > 1e6)
                throw UsageError("--idle-exit needs a number of seconds, not '" + v + "'");
        } else if (a == "--send") {
            // The files up to the next option.
            while (i + 1 < arguments.size() && arguments[i + 1].compare(0, 2, "--") != 0) o.send.push_back(arguments[++i]);
            if (o.send.empty()) throw UsageError("--send needs files");
        } else if (a == "--trace-level") {
            o.traceLevel = static_cast<int>(number(a, value(), 0, 9));
        } else if (a == "--trace-file") {
            o.traceFile = value();
        } else if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            o.setting(a.substr(2), value());
        } else if (a.size() > 1 && a[0] == '-') {
            throw UsageError("unknown option '" + a + "' for quarn flow");
        } else if (i == 0) {
            o.flowFile = a;
            KelBuffer file = InputFile::read(a);
            o.readFlowText(std::string(reinterpret_cast<const char*>(file.data()), static_cast<std::size_t>(file.length())), a);
        } else {
            throw UsageError("quarn flow takes one flow file, before the options");
        }
    }
    if (!o.help) o.complete();
    return o;
}

void FlowOptions::complete() {
    if (queue.empty()) throw UsageError("quarn flow needs a queue to consume from (queue in the flow file, or --queue)");
    if (requeue && !deadLetters) throw UsageError("--requeue goes with --dead-letters");
    if (router.defaultKey().empty() && send.empty() && !deadLetters)
        throw UsageError("quarn flow needs a default routing key (default in the flow file, or --default)");
    if (deadLetter.empty()) {
        if (queue.size() + 5 > 255)
            throw UsageError("the dead-letter queue would be the queue's name and .dead, " + std::to_string(queue.size() + 5) +
                             " bytes, more than a queue name has (255): give dead-letter");
        deadLetter = queue + ".dead";
    }
    if (exchange.empty() && (deadLetter == queue || router.defaultKey() == queue))
        throw UsageError("quarn flow would publish into the queue it consumes from");
    for (const FlowRouter::Rule& r : router.rules())
        if (exchange.empty() && r.key == queue)
            throw UsageError("quarn flow would publish into the queue it consumes from");
}

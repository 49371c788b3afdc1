#include "tools/FlowCommand.hpp"

#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "host/KelLog.hpp"
#include "flow/AmqpConnection.hpp"
#include "flow/FlowCounters.hpp"
#include "flow/FlowDeadLetters.hpp"
#include "flow/FlowOptions.hpp"
#include "flow/FlowRunner.hpp"
#include "cli/InputFile.hpp"
#include "cli/ParserPlugin.hpp"
#include "tools/QuarnCommand.hpp"
#include "tools/SubcommandTable.hpp"

#include <cstdio>
#include <memory>

int FlowCommand::run(const std::vector<std::string>& arguments) {
    FlowOptions options;
    try {
        try {
            options = FlowOptions::parse(arguments);
        } catch (const UnknownOption& e) {
            throw SubcommandTable::unknownOption(*SubcommandTable::find("flow"), e.option);
        }
        if (options.help) {
            std::fputs(SubcommandTable::help(*SubcommandTable::find("flow")).c_str(), stdout);
            return QuarnCommand::Ok;
        }
        AmqpConnection::Address::parse(options.broker);
        if (options.traceLevel >= 0) KelLog::setLevel(options.traceLevel);
        for (int ccsid : {options.message.ccsid, options.message.outCcsid})
            if (ccsid != -1 && !KelConverter::isSupported(ccsid))
                throw QuarnOptions::UsageError("unknown or unsupported ccsid " + std::to_string(ccsid));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quarn: %s\n", e.what());
        return QuarnCommand::Usage;
    }
    if (!QuarnCommand::openTraceFile(options.traceFile)) return QuarnCommand::OutputFailed;
    std::unique_ptr<ParserPlugin> plugin = ParserPlugin::loadOrReport();
    if (!plugin) return QuarnCommand::NoPlugin;
    if (!options.send.empty()) return send(options);
    if (options.deadLetters) {
        try {
            FlowDeadLetters(options, AmqpConnection::factory(options.broker), stdout).run(options.requeue);
            return QuarnCommand::Ok;
        } catch (const AmqpConnection::Error& e) {
            std::fprintf(stderr, "quarn flow: %s\n", e.what());
            return Refused;
        }
    }
    FlowRunner::installSignalHandlers();
    FlowCounters counters;
    FlowRunner runner(options, AmqpConnection::factory(options.broker), plugin->inspector(), counters, stdout, stderr);
    int status = QuarnCommand::Ok;
    try {
        runner.run();
    } catch (const AmqpConnection::Error& e) {
        std::fprintf(stderr, "quarn flow: %s\n", e.what());
        status = Refused;
    }
    counters.print(stdout, options.json);
    return status;
}

int FlowCommand::send(const FlowOptions& options) {
    try {
        AmqpConnection c(AmqpConnection::Address::parse(options.broker));
        c.declareQueue(options.queue);
        c.selectConfirms();
        amqp_basic_properties_t persistent{};
        persistent._flags = AMQP_BASIC_DELIVERY_MODE_FLAG;
        persistent.delivery_mode = 2;
        std::uint64_t last = 0, confirmed = 0;
        bool refused = false;
        // A file that cannot be read stops the sending, but what went before it is in the queue:
        // its confirms are awaited and the failure says how many went, so a second run after the
        // fault is mended can leave them out rather than send them twice.
        std::string unread;
        std::size_t sent = 0;
        for (const std::string& file : options.send) {
            KelBuffer bytes;
            try {
                bytes = InputFile::read(file);
            } catch (const std::runtime_error& e) {
                unread = e.what();
                break;
            }
            last = c.publish(std::string(), options.queue, true, persistent, bytes.data(),
                             static_cast<std::size_t>(bytes.length()));
            ++sent;
        }
        for (int waited = 0; confirmed < last && waited < 300; ++waited)
            c.readConfirms(100, [&](const AmqpConnection::Confirm& k) {
                if (k.kind == AmqpConnection::Confirm::Nack) refused = true;
                if (k.kind != AmqpConnection::Confirm::Return && k.sequence > confirmed) confirmed = k.sequence;
            });
        if (refused || confirmed < last) {
            std::fprintf(stderr, "quarn flow: the broker did not take every message\n");
            return Refused;
        }
        if (!unread.empty()) {
            std::fprintf(stderr, "quarn: %s; the %zu file%s before it went to %s, none after it\n", unread.c_str(), sent,
                         sent == 1 ? "" : "s", options.queue.c_str());
            return QuarnCommand::Usage;
        }
        std::printf("sent %zu message%s to %s\n", options.send.size(), options.send.size() == 1 ? "" : "s",
                    options.queue.c_str());
        return QuarnCommand::Ok;
    } catch (const AmqpConnection::Error& e) {
        std::fprintf(stderr, "quarn flow: %s\n", e.what());
        return Refused;
    } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "quarn: %s\n", e.what());
        return QuarnCommand::Usage;
    }
}

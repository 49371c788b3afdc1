#include "tools/FlowCommand.hpp"

#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "host/KelLog.hpp"
#include "flow/AmqpConnection.hpp"
#include "flow/FlowCounters.hpp"
#include "flow/FlowDeadLetters.hpp"
#include "flow/FlowOptions.hpp"
#include "flow/FlowRunner.hpp"
#include "flow/FlowSender.hpp"
#include "cli/ParserPlugin.hpp"
#include "tools/QuarnCommand.hpp"
#include "tools/SubcommandTable.hpp"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

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
    std::vector<std::string> inputs = options.send;
    if (!options.flowFile.empty()) inputs.push_back(options.flowFile);
    if (QuarnCommand::traceFileIsAnInput(options.traceFile, inputs)) return QuarnCommand::Usage;
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
        const std::size_t sent = FlowSender(options, AmqpConnection::factory(options.broker)).run();
        std::printf("sent %zu message%s to %s\n", sent, sent == 1 ? "" : "s", options.queue.c_str());
        return QuarnCommand::Ok;
    } catch (const AmqpConnection::Error& e) {
        std::fprintf(stderr, "quarn flow: %s\n", e.what());
        return Refused;
    } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "quarn: %s\n", e.what());
        return QuarnCommand::Usage;
    }
}

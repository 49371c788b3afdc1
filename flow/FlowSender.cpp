#include "flow/FlowSender.hpp"

#include "flow/FlowConfirms.hpp"
#include "flow/FlowOptions.hpp"
#include "cli/InputFile.hpp"
#include "host/KelBuffer.hpp"

#include <memory>
#include <stdexcept>
#include <string>

std::size_t FlowSender::run() {
    const std::unique_ptr<BrokerConnection> connection = iConnect();
    BrokerConnection& c = *connection;
    c.declareQueue(iOptions.queue);
    c.selectConfirms();
    BrokerConnection::Properties persistent;
    persistent.persistent = true;
    FlowConfirms sending(c);
    // A file that cannot be read stops the sending, but what went before it is in the queue:
    // its confirms are awaited and the failure says how many went, so a second run after the
    // fault is mended can leave them out rather than send them twice.
    std::string unread;
    try {
        for (const std::string& file : iOptions.send) {
            KelBuffer bytes;
            try {
                bytes = InputFile::read(file);
            } catch (const std::runtime_error& e) {
                unread = e.what();
                break;
            }
            sending.publish(std::string(), iOptions.queue, persistent, bytes.data(),
                            static_cast<std::size_t>(bytes.length()));
        }
        sending.wait(30);
    } catch (const BrokerConnection::Error& e) {
        // Lost half-way, some files are in the queue: which the broker had confirmed is what a
        // second run needs to know to leave them out; the others may or may not be there.
        std::string confirmed;
        for (std::size_t i = 0; i < sending.size(); ++i)
            if (sending.outcome(i) == FlowConfirms::Taken) confirmed += (confirmed.empty() ? "" : ", ") + iOptions.send[i];
        const std::size_t taken = sending.count(FlowConfirms::Taken);
        const std::size_t unanswered = sending.count(FlowConfirms::Unanswered);
        throw BrokerConnection::Error(std::string(e.what()) + "; " + std::to_string(taken) + " of " +
                                          std::to_string(iOptions.send.size()) + " files confirmed in " +
                                          iOptions.queue + (confirmed.empty() ? "" : " (" + confirmed + ")") +
                                          (unanswered ? "; " + std::to_string(unanswered) +
                                                            " more sent but not confirmed, in the queue or not"
                                                      : std::string()),
                                      e.lost);
    }
    const std::size_t sent = sending.count(FlowConfirms::Taken);
    if (sent < sending.size()) {
        // Named one by one: a message no queue took is not in the queue, whatever its confirm said.
        std::string which;
        for (std::size_t i = 0; i < sending.size(); ++i)
            if (sending.outcome(i) != FlowConfirms::Taken) which += "; " + iOptions.send[i] + ": " + sending.describe(i);
        throw BrokerConnection::Error("the broker did not take every message: " + std::to_string(sent) + " of " +
                                          std::to_string(sending.size()) + " file" + (sending.size() == 1 ? "" : "s") +
                                          " went to " + iOptions.queue + which,
                                      false);
    }
    if (!unread.empty())
        throw std::runtime_error(unread + "; the " + std::to_string(sent) + " file" + (sent == 1 ? "" : "s") +
                                 " before it went to " + iOptions.queue + ", none after it");
    return sent;
}

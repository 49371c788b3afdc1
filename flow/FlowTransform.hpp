// FlowTransform: what quarn flow does to one message: finds its code page (from the message's
// headers, else the flow's setting, else from its bytes as quarn does for files), parses it lazily, routes it, applies the flow's edits and writes
// it in the output page, or leaves it as its own bytes when nothing is to change. A message that
// fails comes back as a dead letter with the error's number, text and position.
// Owns one parser, used for message after message, and the last message's output; the bytes an
// outcome points to live until the next process(). Thread rules: one thread at a time.
#pragma once

#include "cli/MessageOptions.hpp"

#include <cstddef>
#include <memory>
#include <string>

class FlowOptions;
class KelParserInspector;
class QuarnMessage;

class FlowTransform {
public:
    struct Outcome {
        bool deadLetter = false;
        std::string key;                     // the routing key, when routed
        const unsigned char* data = nullptr; // what to publish: the input, or the message written anew
        std::size_t size = 0;
        bool rewritten = false;
        long bytesCopied = 0;                // bytes of the output copied from the input
        long bytesRewritten = 0;             // bytes of the output written anew
        int ccsid = -1, encoding = -1;       // of the published bytes (-1 where not known)
        // A dead letter's error: the message number (0 for the flow's own errors), the text with its
        // causes, and where the scanner stopped (line and column, 0 when unknown).
        long errorNumber = 0;
        std::string errorText;
        long errorLine = 0, errorColumn = 0;
    };

    FlowTransform(const FlowOptions& options, const KelParserInspector& inspector);
    ~FlowTransform();

    // `ccsid` and `encoding` as the message's headers give them, -1 where they do not. `owner`
    // keeps the bytes alive for as long as the parser may point into them.
    Outcome process(const unsigned char* data, std::size_t size, int ccsid, int encoding,
                    std::shared_ptr<const void> owner = nullptr);

private:
    const FlowOptions& iOptions;
    const KelParserInspector& iInspector;
    MessageOptions iPage;                 // the options of the message in hand, with its page
    std::unique_ptr<QuarnMessage> iMessage;
};

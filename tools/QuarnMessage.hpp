// QuarnMessage: one message through the parser the way the quarn subcommands use it: read the
// file, make a parser of the chosen domain through the parser registry (its own message group,
// so messages on different threads share nothing), apply the edits of the command line and
// write the message back into a buffer in the output code page. Each step records its time.
// Owns its group (and so its parser and tree), its input bytes and its output buffer.
// Thread rules: one thread per object.
#pragma once

#include "host/KelBuffer.hpp"
#include "host/KelMessageGroup.hpp"
#include "host/KelWriteBuffer.hpp"

#include <memory>
#include <string>

class KelParser;
class KelSyntaxElement;
class QuarnOptions;

class QuarnMessage {
public:
    // Reads `file` ("-" for standard input) and prepares the parse; nothing is scanned yet.
    QuarnMessage(const QuarnOptions& options, const std::string& file, bool spanReuse);

    // Applies --set and --delete; a path that names nothing raises QuarnOptions::UsageError.
    void applyEdits();
    // Writes the message into output(); edits made before decide what is copied.
    void write();

    KelParser* parser() const noexcept { return iParser; }
    KelSyntaxElement* root() const;
    const KelBuffer& input() const noexcept { return iInput; }
    const KelWriteBuffer& output() const noexcept { return *iOutput; }
    // The message's ccsid and encoding value: as given, or as found from its bytes.
    int ccsid() const noexcept { return iCcsid; }
    int encoding() const noexcept { return iEncoding; }

    // Milliseconds spent reading, editing (with the scanning that the edits needed) and writing
    // (with the rest of the scanning).
    double readMs = 0, editMs = 0, writeMs = 0;

private:
    const QuarnOptions& iOptions;
    KelMessageGroup iGroup;
    KelParser* iParser = nullptr;
    int iCcsid = 1208;
    int iEncoding = 546;
    KelBuffer iInput;
    std::unique_ptr<KelWriteBuffer> iOutput;
};

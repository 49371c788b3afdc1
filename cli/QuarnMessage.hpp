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
class MessageOptions;

class QuarnMessage {
public:
    // Reads `file` ("-" for standard input) and prepares the parse; nothing is scanned yet.
    QuarnMessage(const MessageOptions& options, const std::string& file, bool spanReuse);
    // The same for bytes already in memory (a message from a queue); the bytes stay the caller's.
    QuarnMessage(const MessageOptions& options, const KelBuffer& input, bool spanReuse);

    // Starts over with another message in the same parser (its previous tree is released); the
    // page is read from the options again, so a caller may change them in between.
    void refresh(const KelBuffer& input);

    // Applies --set and --delete; a path that names nothing raises UsageError.
    void applyEdits();
    // Writes the message into output(); edits made before decide what is copied. When the output
    // holds input bytes that were never scanned, the whole input is first checked without a tree
    // (as --check and --no-check say), so a broken message is reported instead of passed on.
    void write();
    // The tree-less check of the whole input; the number of elements a full parse builds.
    long check();

    KelParser* parser() const noexcept { return iParser; }
    KelSyntaxElement* root() const;
    // Whether the message's XML declaration says version 1.1 (scans as far as the declaration).
    bool declaresXml11() const;
    const KelBuffer& input() const noexcept { return iInput; }
    const KelWriteBuffer& output() const noexcept { return *iOutput; }
    // True when the input file shrank while it was read; checkInput() raises std::runtime_error
    // then: nothing made from it may be trusted.
    bool inputChanged() const noexcept;
    void checkInput() const;
    // The message's ccsid and encoding value: as given, or as found from its bytes.
    int ccsid() const noexcept { return iCcsid; }
    int encoding() const noexcept { return iEncoding; }

    // Milliseconds spent reading, editing (with the scanning that the edits needed) and writing
    // (with the rest of the scanning).
    double readMs = 0, editMs = 0, writeMs = 0;

private:
    // Takes the page from the options, or finds it from the bytes, and hands the bytes to the parser.
    void makeParser(bool spanReuse);
    void startParse();

    const MessageOptions& iOptions;
    std::string iFile;
    KelMessageGroup iGroup;
    KelParser* iParser = nullptr;
    int iCcsid = 1208;
    int iEncoding = 546;
    KelBuffer iInput;
    std::unique_ptr<KelWriteBuffer> iOutput;
};

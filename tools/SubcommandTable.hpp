// SubcommandTable: the quarn command's subcommands, each with its operands, summary, help, the
// options it takes (each with its own help) and its handler. Parsing, --help (and so the manual
// page and the completion, both read from --help), "did you mean" and dispatch are all made from
// this one list, so a subcommand cannot accept an option its help does not show. Immutable static
// data: safe from any thread.
#pragma once

#include "tools/QuarnOptions.hpp"

#include <string>
#include <vector>

class ParserPlugin;

class SubcommandTable {
public:
    // One option: its names, the placeholder of its value (nullptr for a flag), its help, and
    // what it sets. A subcommand that parses its own arguments (flow) lists options with no apply.
    struct Option {
        const char* name;   // "--ccsid"
        const char* alias;  // "-o", "-h", or nullptr
        const char* value;  // "N|NAME"; nullptr: a flag
        const char* help;
        void (*apply)(QuarnOptions& options, const std::string& value);
    };
    struct Subcommand {
        const char* name;
        const char* operands;     // "FILE PATH": the usage line, and the count parse checks
        const char* summary;      // one line of the command's usage
        const char* description;  // the paragraphs of its --help, each line indented two spaces
        const char* example;      // arguments after "quarn NAME"
        std::vector<const Option*> options;
        // The handler: `run` with the parsed options, or `runArguments` with the raw arguments
        // after the name when the subcommand reads them itself (still refusing options not listed).
        int (*run)(const QuarnOptions& options, const ParserPlugin& plugin);
        int (*runArguments)(const std::vector<std::string>& arguments);
    };

    static const std::vector<Subcommand>& subcommands();
    // nullptr when there is no such subcommand.
    static const Subcommand* find(const std::string& name);
    // The option `name` (a name or an alias) of `sub`, or nullptr.
    static const Option* option(const Subcommand& sub, const std::string& name);
    // Parses the arguments after the subcommand's name. "--name=value" is taken as
    // "--name value", and "--" ends the options. Raises QuarnOptions::UsageError, and
    // QuarnOptions::UnknownOption (with the closest option in its message) for an option the
    // subcommand does not take.
    static QuarnOptions parse(const Subcommand& sub, const std::vector<std::string>& arguments);
    static QuarnOptions::UnknownOption unknownOption(const Subcommand& sub, const std::string& typed);
    // `quarn NAME --help`: usage line, description, every option with its help, example.
    static std::string help(const Subcommand& sub);
    // `quarn --help`: the subcommands with their summaries and what every subcommand shares.
    static std::string usage();
    // The subcommand (or --help, --version) closest to a mistyped one, or "".
    static std::string closestSubcommand(const std::string& typed);
};

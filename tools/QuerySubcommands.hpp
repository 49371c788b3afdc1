// QuerySubcommands: `quarn select` (every node a path expression selects, elements as their
// XML) and `quarn get` (the value of the first node), both through the path-query engine, so
// a message is scanned no further than the answer needs, and evaluated streaming: what the walk
// has passed is deleted, so memory stays about one record deep. Stateless; one call per run.
#pragma once

class ParserPlugin;
class QuarnOptions;

class QuerySubcommands {
public:
    // Exit statuses as QuarnCommand's: 0, or 3 when the path selects nothing.
    static int select(const QuarnOptions& options, const ParserPlugin& plugin);
    static int get(const QuarnOptions& options, const ParserPlugin& plugin);
};

// FlowCommand: `quarn flow`: reads the flow's settings, loads the parser plug-in, runs the flow
// until it is stopped and prints its counters (on SIGUSR1 and at the end). Exit statuses as the
// other subcommands, and 6 when the broker refuses the flow (login, a queue or an exchange).
// Its help and the options it takes are in SubcommandTable. One object per run, on the main thread.
#pragma once

#include <string>
#include <vector>

class FlowCommand {
public:
    enum { Refused = 6 };
    // The arguments after "flow".
    int run(const std::vector<std::string>& arguments);

private:
    // --send: puts files into the flow's queue, each confirmed by the broker.
    static int send(const class FlowOptions& options);
};

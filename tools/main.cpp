#include "tools/QuarnCommand.hpp"

int main(int argc, char** argv) {
    QuarnCommand::holdClosedStandardDescriptors();
    QuarnCommand::failWritesToClosedPipes();
    std::vector<std::string> arguments(argv + 1, argv + argc);
    return QuarnCommand::finish(QuarnCommand().run(arguments));
}

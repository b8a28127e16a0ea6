#include "Modes.h"
#include "PrintStatus.h"

#include "base/Mac.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    using namespace quorvane;
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const Invocation invocation = chooseMode(arguments);
    switch (invocation.mode) {
    case Mode::printStatus:
        runPrintStatus(Mac::fromEnvironment(), invocation.outputPath, std::cout, std::cerr);
        break;
    case Mode::smokeTest:
        std::fputs("The smoke test is not part of this build yet; use --print-status.\n", stderr);
        break;
    case Mode::application:
        std::fputs("The menu-bar application is not part of this build yet; use --print-status.\n",
                   stderr);
        break;
    }
    return 0;
}

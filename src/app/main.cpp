#include "Modes.h"
#include "PrintStatus.h"

#include "base/Mac.h"
#include "model/AppModel.h"
#include "platform/QuitOnSignal.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

bool hasEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

// The normal application: the model and its checks, until SIGTERM or SIGINT.
int runApplication(int argc, char** argv) {
    using namespace quorvane;
    // Qt would abort without a display; say what to do instead.
    if (!hasEnvironment("QT_QPA_PLATFORM") && !hasEnvironment("DISPLAY") &&
        !hasEnvironment("WAYLAND_DISPLAY")) {
        std::fputs("quorvane-ombrel: no display to show the application on; use --print-status "
                   "to print the backup status instead.\n",
                   stderr);
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setOrganizationName("Quorvane");
    QApplication::setApplicationName("Quorvane Ombrel");
    QApplication::setApplicationVersion(AppModel::appVersion());
    QApplication::setQuitOnLastWindowClosed(false);
    QuitOnSignal quitOnSignal;
    AppModel model(AppModel::Setup::fromEnvironment());
    return QApplication::exec();
}

} // namespace

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
        return runApplication(argc, argv);
    }
    return 0;
}

// zipfs: reads plain and scrambled ZIP archives through the tamsor-zipfs library.
//
//   zipfs COMMAND [OPTIONS] OPERANDS...
//
// The dispatch: finds the command, parses its options, answers --help, checks the operand count, sets up
// logging, and runs it.

#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "Diagnostics.h"
#include "ExitStatus.h"
#include "Logging.h"
#include "MountHelperCall.h"

#ifndef ZIPFS_VERSION
#define ZIPFS_VERSION "unknown"
#endif

namespace Tamsor {
namespace Tool {

namespace {

void printOptions(std::FILE* pOut, const std::vector<OptionSpec>& options) {
    for (const OptionSpec& option : options) {
        std::string left = option.shortName ? std::string("-") + option.shortName + ", " : std::string("    ");
        left += std::string("--") + option.longName;
        if (option.valueName) left += std::string(" ") + option.valueName;
        std::fprintf(pOut, "  %-26s %s\n", left.c_str(), option.description);
    }
}

void printToolHelp() {
    std::printf(
        "Usage: zipfs COMMAND [OPTIONS] OPERANDS...\n"
        "Reads plain and scrambled ZIP archives (the kind is detected; --plain or --scrambled force it).\n\n"
        "Commands:\n");
    for (const Command& command : commandTable()) std::printf("  %-12s %s\n", command.name, command.summary);
    std::printf(
        "\n'zipfs COMMAND --help' tells more about each.\n\n"
        "Every member is listed from the archive's central directory, with the name, mode and time the archive\n"
        "gives it ('zipfs ls --help' tells the rules); members zipfs will not hand out are marked.\n\n"
        "Exit status: 0 success, 2 usage error, 3 archive cannot be opened, 4 member not found (or a\n"
        "directory given to cat), 5 I/O, CRC or password error, or members refused (unsupported method or\n"
        "encryption, ambiguous data, encrypted without a password).\n"
        "'zipfs --version' prints the version. 'zipfs ARCHIVE MOUNTPOINT -o OPTIONS' is 'zipfs mount', as\n"
        "mount(8) and /etc/fstab run it (type fuse.zipfs: 'zipfs mount --help' tells more).\n"
        "Logging: -v / --trace show the library's log on standard error; ZIPFS_LOG_CONFIG=FILE loads a\n"
        "log4cplus properties file instead.\n");
}

void printCommandHelp(const Command& command) {
    std::printf("Usage: zipfs %s [OPTIONS] %s\n%s\n\n%s\n", command.name, command.operands, command.summary,
                command.details);
    if (!command.options.empty()) {
        std::printf("\nOptions:\n");
        printOptions(stdout, command.options);
    }
    std::printf("\nCommon options:\n");
    printOptions(stdout, commonOptions());
}

const Command* findCommand(const std::string& name) {
    for (const Command& command : commandTable())
        if (name == command.name) return &command;
    return nullptr;
}

int usageError(const std::string& commandName, const std::string& message) {
    reportError(commandName + ": " + message + " (try 'zipfs " + commandName + " --help')");
    return kExitUsage;
}

int dispatch(const Command& command, const std::vector<std::string>& args) {
    std::vector<OptionSpec> specs = command.options;
    specs.insert(specs.end(), commonOptions().begin(), commonOptions().end());
    CommandLine commandLine;
    if (!commandLine.parse(args, specs)) return usageError(command.name, commandLine.error());
    if (commandLine.has("help")) {
        printCommandHelp(command);
        return kExitOk;
    }
    const std::size_t operandCount = commandLine.operands().size();
    if (operandCount < command.minOperands) return usageError(command.name, "missing operand");
    if (operandCount > command.maxOperands) return usageError(command.name, "too many operands");
    if (commandLine.has("plain") && commandLine.has("scrambled"))
        return usageError(command.name, "--plain and --scrambled exclude each other");

    const Verbosity verbosity = commandLine.has("trace")     ? Verbosity::Trace
                                : commandLine.has("verbose") ? Verbosity::Debug
                                                             : Verbosity::Quiet;
    std::string error;
    if (!setUpLogging(verbosity, error)) {
        reportError(error);
        return kExitUsage;
    }
    const KindChoice kind = commandLine.has("plain")       ? KindChoice::Plain
                            : commandLine.has("scrambled") ? KindChoice::Scrambled
                                                           : KindChoice::Detect;
    const Invocation invocation{command.name, commandLine, kind};
    return command.run(invocation);
}

}  // namespace

int toolMain(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        reportError("missing command (try 'zipfs --help')");
        return kExitUsage;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        printToolHelp();
        return kExitOk;
    }
    if (args[0] == "--version") {
        std::printf("zipfs %s\n", ZIPFS_VERSION);
        return kExitOk;
    }
    const Command* pCommand = findCommand(args[0]);
    if (!pCommand && isMountHelperCall(args)) return dispatch(*findCommand("mount"), args);
    if (!pCommand) {
        reportError("unknown command '" + args[0] + "' (try 'zipfs --help')");
        return kExitUsage;
    }
    return dispatch(*pCommand, std::vector<std::string>(args.begin() + 1, args.end()));
}

}  // namespace Tool
}  // namespace Tamsor

// No log4cplus::Initializer here: its destructor waits for log4cplus's thread pool, which a mount that went to
// the background (a forked child) no longer has; log4cplus sets itself up on first use.
int main(int argc, char** argv) {
    const int status = Tamsor::Tool::toolMain(argc, argv);
    // Whatever is still buffered must reach its destination, or the status must say it did not.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        Tamsor::Tool::reportError("error writing standard output");
        return Tamsor::Tool::worstOf(status, Tamsor::Tool::kExitDataError);
    }
    return status;
}

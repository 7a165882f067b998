#ifndef TAMSOR_TOOLS_COMMANDS_H
#define TAMSOR_TOOLS_COMMANDS_H

// The commands of zipfs: their table (names, help texts, options) and their entry points.

#include <cstddef>
#include <string>
#include <vector>

#include "ArchiveKind.h"
#include "CommandLine.h"

namespace Tamsor {
namespace Tool {

class MemberSource;
struct ArchiveScope;
class NameDecoder;

// What a command gets: its parsed arguments and the archive kind asked for (--plain, --scrambled or neither).
struct Invocation {
    const char* commandName;
    const CommandLine& args;
    KindChoice kind;

    // Reports "zipfs: <command>: <message>".
    void fail(const std::string& message) const;
    // Opens the archive named by the first operand (or operand `uiOperand`) into `rSource`, names decoded as
    // --encoding says (through `rDecoder`, which must outlive the source). 0, or the exit status after an error
    // line. `scope` names the part of the archive the command looks at (see MemberSource).
    int openArchive(MemberSource& rSource, NameDecoder& rDecoder, const ArchiveScope& scope,
                    std::size_t uiOperand = 0) const;
};

typedef int (*CommandFunction)(const Invocation&);

struct Command {
    const char* name;
    const char* operands;  // the usage line after the options
    const char* summary;   // one line, for `zipfs --help`
    const char* details;   // the body of `zipfs <command> --help`
    std::vector<OptionSpec> options;
    std::size_t minOperands;
    std::size_t maxOperands;
    CommandFunction run;
};

// Every command, in the order `zipfs --help` lists them.
const std::vector<Command>& commandTable();
// The options every command takes.
const std::vector<OptionSpec>& commonOptions();

int lsCommand(const Invocation& invocation);
int treeCommand(const Invocation& invocation);
int statCommand(const Invocation& invocation);
int catCommand(const Invocation& invocation);
int testCommand(const Invocation& invocation);
int extractCommand(const Invocation& invocation);
int scrambleCommand(const Invocation& invocation);
int unscrambleCommand(const Invocation& invocation);
int mountCommand(const Invocation& invocation);

}  // namespace Tool
}  // namespace Tamsor

#endif

#ifndef TAMSOR_TOOLS_COMMANDLINE_H
#define TAMSOR_TOOLS_COMMANDLINE_H

// The arguments of one command: options (anywhere among the operands, until "--") and operands.
// Short options may be grouped ("-lR") and take their value attached or as the next argument ("-CDIR",
// "-C DIR"); long options take theirs as "--name=VALUE" or "--name VALUE".

#include <map>
#include <string>
#include <vector>

namespace Tamsor {
namespace Tool {

struct OptionSpec {
    char shortName;           // 0 for none
    const char* longName;     // the name options are looked up by
    const char* valueName;    // null for a flag; the value's name in help texts otherwise
    const char* description;  // one line for help texts
};

class CommandLine {
  public:
    // False, with error() set, for an unknown option or a missing value.
    bool parse(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs);

    bool has(const std::string& longName) const { return m_values.count(longName) != 0; }
    // Every value given for the option, in order (empty for a flag or an option not given).
    std::vector<std::string> values(const std::string& longName) const;
    // The last value given, or `fallback`.
    std::string value(const std::string& longName, const std::string& fallback) const;

    const std::vector<std::string>& operands() const { return m_operands; }
    const std::string& error() const { return m_strError; }

  private:
    const OptionSpec* findShort(char name, const std::vector<OptionSpec>& specs) const;
    const OptionSpec* findLong(const std::string& name, const std::vector<OptionSpec>& specs) const;
    bool parseShortGroup(const std::vector<std::string>& args, std::size_t& rIndex,
                         const std::vector<OptionSpec>& specs);
    bool parseLong(const std::vector<std::string>& args, std::size_t& rIndex, const std::vector<OptionSpec>& specs);

    std::map<std::string, std::vector<std::string>> m_values;
    std::vector<std::string> m_operands;
    std::string m_strError;
};

}  // namespace Tool
}  // namespace Tamsor

#endif

#include "CommandLine.h"

namespace Tamsor {
namespace Tool {

bool CommandLine::parse(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs) {
    m_values.clear();
    m_operands.clear();
    m_strError.clear();
    bool bOptionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (bOptionsEnded || arg.size() < 2 || arg[0] != '-') {
            m_operands.push_back(arg);  // "-" alone is an operand too
        } else if (arg == "--") {
            bOptionsEnded = true;
        } else if (arg[1] == '-') {
            if (!parseLong(args, i, specs)) return false;
        } else if (!parseShortGroup(args, i, specs)) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> CommandLine::values(const std::string& longName) const {
    const auto found = m_values.find(longName);
    return found == m_values.end() ? std::vector<std::string>() : found->second;
}

std::string CommandLine::value(const std::string& longName, const std::string& fallback) const {
    const auto found = m_values.find(longName);
    return found == m_values.end() || found->second.empty() ? fallback : found->second.back();
}

const OptionSpec* CommandLine::findShort(char name, const std::vector<OptionSpec>& specs) const {
    for (const OptionSpec& spec : specs)
        if (spec.shortName == name) return &spec;
    return nullptr;
}

const OptionSpec* CommandLine::findLong(const std::string& name, const std::vector<OptionSpec>& specs) const {
    for (const OptionSpec& spec : specs)
        if (name == spec.longName) return &spec;
    return nullptr;
}

// "-lR", "-CDIR", "-C DIR": flags until the first option that takes a value, which takes the rest of the
// argument or, when nothing is left, the next argument.
bool CommandLine::parseShortGroup(const std::vector<std::string>& args, std::size_t& rIndex,
                                  const std::vector<OptionSpec>& specs) {
    const std::string& arg = args[rIndex];
    for (std::size_t j = 1; j < arg.size(); ++j) {
        const OptionSpec* pSpec = findShort(arg[j], specs);
        if (!pSpec) {
            m_strError = std::string("unknown option '-") + arg[j] + "'";
            return false;
        }
        std::vector<std::string>& rValues = m_values[pSpec->longName];
        if (!pSpec->valueName) continue;
        if (j + 1 < arg.size()) {
            rValues.push_back(arg.substr(j + 1));
        } else if (rIndex + 1 < args.size()) {
            rValues.push_back(args[++rIndex]);
        } else {
            m_strError = std::string("option '-") + arg[j] + "' needs a value";
            return false;
        }
        return true;
    }
    return true;
}

bool CommandLine::parseLong(const std::vector<std::string>& args, std::size_t& rIndex,
                            const std::vector<OptionSpec>& specs) {
    const std::string& arg = args[rIndex];
    const std::string::size_type equals = arg.find('=');
    const std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    const OptionSpec* pSpec = findLong(name, specs);
    if (!pSpec) {
        m_strError = "unknown option '--" + name + "'";
        return false;
    }
    std::vector<std::string>& rValues = m_values[pSpec->longName];
    if (!pSpec->valueName) {
        if (equals == std::string::npos) return true;
        m_strError = "option '--" + name + "' takes no value";
        return false;
    }
    if (equals != std::string::npos) {
        rValues.push_back(arg.substr(equals + 1));
    } else if (rIndex + 1 < args.size()) {
        rValues.push_back(args[++rIndex]);
    } else {
        m_strError = "option '--" + name + "' needs a value";
        return false;
    }
    return true;
}

}  // namespace Tool
}  // namespace Tamsor

#include "MountOptions.h"

#include <cctype>

namespace Tamsor {
namespace Tool {

namespace {

std::vector<std::string> splitOptions(const std::string& value) {
    std::vector<std::string> options(1);
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == ',') {
            options.emplace_back();
            continue;
        }
        options.back() += value[i];
        if (value[i] == '\\' && i + 1 < value.size()) options.back() += value[++i];  // kept for FUSE to undo
    }
    return options;
}

// "022", "0777": permission bits in octal.
bool parseMask(const std::string& text, mode_t& rMask) {
    if (text.empty() || text.size() > 4 || text.find_first_not_of("01234567") != std::string::npos) return false;
    rMask = static_cast<mode_t>(std::stoul(text, nullptr, 8));
    return true;
}

// The options that only say yes: where each goes.
bool* flagOf(const std::string& option, MountSettings& rSettings) {
    if (option == "nonempty") return &rSettings.bNonEmpty;
    if (option == "nosymlinks") return &rSettings.bHideSymlinks;
    if (option == "nohardlinks") return &rSettings.bSeparateHardLinks;
    if (option == "nospecials") return &rSettings.bHideSpecials;
    if (option == "owners") return &rSettings.bStoredOwners;
    if (option == "subdirs") return &rSettings.bSubdirs;
    return nullptr;
}

}  // namespace

bool parseSize(const std::string& text, std::uint64_t& rBytes) {
    std::size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
    if (digits == 0 || digits > 15 || text.size() > digits + 1) return false;
    const std::string units = "KMG";
    const std::string::size_type unit = digits < text.size() ? units.find(std::toupper(text[digits])) : units.size();
    if (unit == std::string::npos) return false;
    const unsigned shift = unit == units.size() ? 0 : 10 * static_cast<unsigned>(unit + 1);
    rBytes = std::stoull(text.substr(0, digits)) << shift;
    return true;
}

bool parseMountOptions(const std::vector<std::string>& values, MountSettings& rSettings, std::string& rError) {
    const std::string budget = "restart_budget=", logFile = "logfile=";
    for (const std::string& value : values) {
        for (const std::string& option : splitOptions(value)) {
            if (option.empty()) continue;
            const std::string key = option.substr(0, option.find('=') + 1);
            if (bool* pFlag = flagOf(option, rSettings)) {
                *pFlag = true;
            } else if (key == "fmask=" || key == "dmask=") {
                if (!parseMask(option.substr(key.size()),
                               key == "fmask=" ? rSettings.fileMask : rSettings.directoryMask)) {
                    rError = "bad mask in '" + option + "' (permission bits in octal: 022)";
                    return false;
                }
            } else if (option.compare(0, budget.size(), budget) == 0) {
                if (!parseSize(option.substr(budget.size()), rSettings.uiRestartBudget)) {
                    rError = "bad size in '" + option + "' (a number of bytes, or with K, M or G: 64M)";
                    return false;
                }
            } else if (option.compare(0, logFile.size(), logFile) == 0 && option.size() > logFile.size()) {
                rSettings.strLogFile = option.substr(logFile.size());
            } else {
                rSettings.fuseOptions.push_back(option);
            }
        }
    }
    return true;
}

}  // namespace Tool
}  // namespace Tamsor

#ifndef TAMSOR_TOOLS_UNZIPHABITS_H
#define TAMSOR_TOOLS_UNZIPHABITS_H

// What users of unzip expect of `extract` and `test` beside our own spellings: -d DIR for -C DIR, and a
// progress bar sized by the bytes the members will give. Pure functions of the command line and the index.

#include <cstdint>
#include <string>
#include <vector>

#include "ArchiveFacts.h"
#include "CommandLine.h"

namespace Tamsor {
namespace Tool {

// The directory `extract` writes under: -C DIR or -d DIR, else ".". False, with the reason in `rError`, when
// both are given (which one was meant cannot be told).
bool extractDirectory(const CommandLine& args, std::string& rDirectory, std::string& rError);

// The bytes the stored file members give when read (their sizes as the index has them): of all of them when
// `selected` is empty, else of those it marks. One pass over the records.
std::uint64_t bytesToRead(const ArchiveFacts& facts, const std::vector<bool>& selected);

}  // namespace Tool
}  // namespace Tamsor

#endif

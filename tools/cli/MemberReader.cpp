#include "MemberReader.h"

#include <fcntl.h>
#include <zlib.h>

#include <cstdio>
#include <vector>

#include "Format.h"

namespace Tamsor {
namespace Tool {

std::string lookupPath(const std::string& strStoredName) {
    return "/" + strStoredName;
}

ReadOutcome readMember(VirtualFileSystem& fileSystem, const ArchiveMember& member, const PieceSink& sink) {
    const VirtualFileSystem::FileHandle pFile = fileSystem.open(lookupPath(member.name).c_str(), O_RDONLY);
    if (pFile.isNull()) return ReadOutcome::OpenFailed;
    std::vector<char> buffer(kPieceSize);
    uLong crc = crc32(0L, Z_NULL, 0);
    std::uint64_t uiTotal = 0;
    for (;;) {
        const int n = pFile->read(buffer.data(), static_cast<unsigned int>(buffer.size()));
        if (n < 0) return ReadOutcome::ReadFailed;
        if (n == 0) break;
        crc = crc32(crc, reinterpret_cast<const Bytef*>(buffer.data()), static_cast<uInt>(n));
        uiTotal += static_cast<std::uint64_t>(n);
        if (sink && !sink(buffer.data(), static_cast<std::size_t>(n))) return ReadOutcome::WriteFailed;
    }
    if (uiTotal != member.uiSize) return ReadOutcome::SizeMismatch;
    if (static_cast<std::uint32_t>(crc) != member.uiCrc32) return ReadOutcome::CrcMismatch;
    return ReadOutcome::Ok;
}

std::string describeOutcome(ReadOutcome outcome, const ArchiveMember& member) {
    switch (outcome) {
        case ReadOutcome::Ok:
            return "OK";
        case ReadOutcome::OpenFailed:
            return member.uiMethod != 0 && member.uiMethod != 8
                       ? "cannot be opened (compression method " + methodName(member.uiMethod) + ")"
                       : "cannot be opened";
        case ReadOutcome::ReadFailed:
            return "read error (damaged data)";
        case ReadOutcome::WriteFailed:
            return "write error";
        case ReadOutcome::SizeMismatch:
            return "wrong length";
        case ReadOutcome::CrcMismatch:
            return "CRC mismatch";
    }
    return "unknown error";
}

std::string unreachableReason(const ArchiveMember& member, std::set<std::string>& rSeenNames) {
    if (member.name.find('\0') != std::string::npos) return "name holds a NUL byte";
    if (!rSeenNames.insert(member.name).second) return "duplicate name: only the first member of that name is read";
    return "";
}

}  // namespace Tool
}  // namespace Tamsor

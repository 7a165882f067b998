#ifndef TAMSOR_TESTS_ZIPFSFIXTURE_H
#define TAMSOR_TESTS_ZIPFSFIXTURE_H

// What the ZIP file-system suites share: the headers they all use, a log capture that is live before any file
// system is made (a file system caches its log level when it is constructed), a scratch directory, the two kinds
// of file system for typed suites, and helpers that read files, walk directories, describe diagnostics and talk to
// shell tools.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "support/LogCapture.h"
#include "support/SameBytes.h"
#include "support/TempDir.h"
#include "support/ZipBuilder.h"
#include "tamsor/ZIPEncryptedFileSystem.h"
#include "tamsor/infra/StaticMemAllocator.h"

namespace Tamsor::Testing {

typedef VirtualFileSystem::FileHandle FileHandle;
typedef VirtualFileSystem::DirectoryHandle DirectoryHandle;
typedef VirtualFileSystem::EntryHandle EntryHandle;
typedef std::vector<std::string> Names;
typedef ::testing::Types<ZIPFileSystem, ZIPEncryptedFileSystem> FileSystemKinds;

inline std::string scrambled(std::string bytes) {
    ZIPEncryptedFileSystem::encrypt(&bytes[0], static_cast<unsigned int>(bytes.size()), 0);
    return bytes;
}

// The bytes of an archive as a FileSystem reads them: scrambled for a scrambled file system.
template <class FileSystem>
std::string formFor(const std::string& bytes) {
    return std::is_same<FileSystem, ZIPEncryptedFileSystem>::value ? scrambled(bytes) : bytes;
}

// Reads an open file to its end in pieces; `pLast` gets the last read's result (0 at the end, -1 on failure).
inline std::string readToEnd(VirtualFileSystem::File& file, unsigned int piece = 4093, int* pLast = nullptr) {
    std::string content, buffer(piece, '\0');
    int n;
    while ((n = file.read(&buffer[0], piece)) > 0) content.append(buffer, 0, static_cast<std::size_t>(n));
    if (pLast) *pLast = n;
    return content;
}

// "file:<path>" or "dir:<path>" ("odd:" for an entry of both kinds or neither) of each entry up to the end.
inline Names listRest(VirtualFileSystem::Directory& directory) {
    Names names;
    for (EntryHandle e; names.size() < 10000 && !(e = directory.read()).isNull();)
        names.push_back((e->isFile() == e->isDirectory() ? "odd:" : e->isFile() ? "file:" : "dir:") +
                        std::string(e->getPath()));
    return names;
}

// Every event above TRACE as "logger level file:line text"; with `bTraces`, the TRACE events as "logger: text".
inline Names logLines(const LogCapture& capture, bool bTraces = false) {
    Names lines;
    for (const CapturedEvent& e : capture.events())
        if ((e.level == 0) == bTraces)
            lines.push_back(bTraces ? e.logger + ": " + e.message
                                    : e.logger + " " + std::to_string(e.level) + " " + e.file + ":" +
                                          std::to_string(e.line) + " " + e.message);
    return lines;
}

inline std::string quote(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

// The CRC-32 of `data` as eight lower-case hex digits, as unzip and zipfs print it.
inline std::string crcHex(const std::string& data) {
    char text[16];
    std::snprintf(text, sizeof(text), "%08lx",
                  crc32(0, reinterpret_cast<const Bytef*>(data.data()), uInt(data.size())));
    return text;
}

class ZipFsTest : public ::testing::Test {
  protected:
    LogCapture m_log;  // first member: capturing at TRACE before anything else exists
    TempDir m_dir;
};

}  // namespace Tamsor::Testing

#endif

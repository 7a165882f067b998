#ifndef TAMSOR_TESTS_ZIPFSFIXTURE_H
#define TAMSOR_TESTS_ZIPFSFIXTURE_H

// What the ZIP file-system suites share: a log capture that is live before any file system is made (a file
// system caches its log level when it is constructed), a scratch directory, and helpers that read files, walk
// directories, describe diagnostics and talk to shell tools.

#include <gtest/gtest.h>
#include <log4cplus/logger.h>
#include <log4cplus/loglevel.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "support/LogCapture.h"
#include "support/SameBytes.h"
#include "support/TempDir.h"
#include "support/ZipBuilder.h"
#include "tamsor/ZIPEncryptedFileSystem.h"
#include "tamsor/infra/LogLevel.h"

namespace Tamsor {
namespace Testing {

typedef VirtualFileSystem::FileHandle FileHandle;
typedef VirtualFileSystem::DirectoryHandle DirectoryHandle;
typedef VirtualFileSystem::EntryHandle EntryHandle;
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

// The file name that every diagnostic site of the ZIP file system reports.
const char* const kSourceFile = "ZIPFileSystem";

struct Diagnostic {
    std::string logger;
    int level;
    std::string message;
    int line;
};

inline Diagnostic assertionAt(const std::string& condition, int line) {
    return Diagnostic{kAssertionLogger, kErrorLogLevel, "Assertion failed: " + condition, line};
}

inline Diagnostic zipLineAt(int level, const std::string& message, int line) {
    return Diagnostic{kZipLogger, level, message, line};
}

// One line of text per diagnostic, so that a mismatch prints readably.
inline std::string describe(const std::string& logger, int level, const std::string& file, int line,
                            const std::string& message) {
    return logger + " level " + std::to_string(level) + " at " + file + ":" + std::to_string(line) + " \"" + message +
           "\"";
}

inline std::vector<std::string> expected(std::initializer_list<Diagnostic> diagnostics) {
    std::vector<std::string> lines;
    for (const Diagnostic& d : diagnostics)
        lines.push_back(describe(d.logger, d.level, kSourceFile, d.line, d.message));
    return lines;
}

// Every captured event that is not a trace line, over all loggers, in order.
inline std::vector<std::string> diagnosticsOf(const LogCapture& capture) {
    std::vector<std::string> lines;
    for (const CapturedEvent& e : capture.events())
        if (e.level != kTraceLogLevel) lines.push_back(describe(e.logger, e.level, e.file, e.line, e.message));
    return lines;
}

// The trace lines of every logger, as "<logger>: <text>".
inline std::vector<std::string> tracesOf(const LogCapture& capture) {
    std::vector<std::string> lines;
    for (const CapturedEvent& e : capture.events())
        if (e.level == kTraceLogLevel) lines.push_back(e.logger + ": " + e.message);
    return lines;
}

inline std::vector<std::string> zipTraces(std::initializer_list<const char*> texts) {
    std::vector<std::string> lines;
    for (const char* text : texts) lines.push_back(std::string(kZipLogger) + ": " + text);
    return lines;
}

// Every event above TRACE as "logger level file:line text"; with `bTraces`, the TRACE events as "logger: text".
inline std::vector<std::string> logLines(const LogCapture& capture, bool bTraces = false) {
    std::vector<std::string> lines;
    for (const CapturedEvent& e : capture.events())
        if ((e.level == 0) == bTraces)
            lines.push_back(bTraces ? e.logger + ": " + e.message
                                    : e.logger + " " + std::to_string(e.level) + " " + e.file + ":" +
                                          std::to_string(e.line) + " " + e.message);
    return lines;
}

// Gives a log4cplus logger a level of its own for one scope, then lets it inherit again.
class ScopedLoggerLevel {
  public:
    ScopedLoggerLevel(const char* name, int level) : m_logger(log4cplus::Logger::getInstance(name)) {
        m_logger.setLogLevel(level);
    }
    ~ScopedLoggerLevel() { m_logger.setLogLevel(log4cplus::NOT_SET_LOG_LEVEL); }

  private:
    log4cplus::Logger m_logger;
};

// Changes the working directory for one scope.
class ScopedWorkingDirectory {
  public:
    explicit ScopedWorkingDirectory(const std::string& path) {
        char buffer[4096];
        if (getcwd(buffer, sizeof(buffer))) m_strSaved = buffer;
        m_bChanged = chdir(path.c_str()) == 0;
    }
    ~ScopedWorkingDirectory() {
        if (m_bChanged && !m_strSaved.empty()) m_bChanged = chdir(m_strSaved.c_str()) != 0;
    }
    bool changed() const { return m_bChanged; }

  private:
    std::string m_strSaved;
    bool m_bChanged = false;
};

// Reads `file` to its end in pieces cycling through `pieces`. `pLast` gets the result of the last read (0 at
// the end, -1 when a read failed).
inline std::string readInPieces(VirtualFileSystem::File& file, const std::vector<unsigned int>& pieces,
                                int* pLast = nullptr) {
    std::string content;
    int result;
    for (std::size_t i = 0;; ++i) {
        std::string buffer(pieces[i % pieces.size()], '\0');
        if ((result = file.read(&buffer[0], static_cast<unsigned int>(buffer.size()))) <= 0) break;
        content.append(buffer, 0, result);
    }
    if (pLast) *pLast = result;
    return content;
}

inline std::string readToEnd(VirtualFileSystem::File& file, std::size_t piece = 4093, int* pLast = nullptr) {
    return readInPieces(file, {static_cast<unsigned int>(piece)}, pLast);
}

// "file:<path>", "dir:<path>" or "odd:<path>" (an entry that is both or neither).
inline std::string describeEntry(const VirtualFileSystem::Entry& entry) {
    const char* kind =
        entry.isFile() && !entry.isDirectory() ? "file:" : (entry.isDirectory() && !entry.isFile() ? "dir:" : "odd:");
    return kind + std::string(entry.getPath());
}

// Reads the rest of a listing, up to its end.
inline std::vector<std::string> listRest(VirtualFileSystem::Directory& directory) {
    std::vector<std::string> names;
    for (int guard = 0; guard < 100000; ++guard) {
        EntryHandle entry = directory.read();
        if (entry.isNull()) break;
        names.push_back(describeEntry(*entry));
    }
    return names;
}

// ---- shell tools -----------------------------------------------------------------------------------------

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
    const uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
    char text[16];
    std::snprintf(text, sizeof(text), "%08lx", static_cast<unsigned long>(crc));
    return text;
}

class ZipFsTest : public ::testing::Test {
  protected:
    // Writes the archive into the scratch directory and returns its path.
    std::string writeArchive(const ZipBuilder& builder, const std::string& name = "test.zip") const {
        const std::string path = m_dir.file(name);
        builder.writeTo(path);
        return path;
    }

    // A new file system bound to `path`; empty (with a test failure) when binding fails.
    static std::unique_ptr<ZIPFileSystem> bindTo(const std::string& path) {
        std::unique_ptr<ZIPFileSystem> pFs(new ZIPFileSystem);
        if (!pFs->setZIPArchive(path.c_str())) {
            ADD_FAILURE() << "cannot bind " << path;
            pFs.reset();
        }
        return pFs;
    }

    // How many diagnostics (events above TRACE) came since the capture was last cleared.
    std::size_t diagnosticCount() const { return diagnosticsOf(m_log).size(); }

    LogCapture m_log;  // first member: capturing at TRACE before anything else exists
    TempDir m_dir;
};

}  // namespace Testing
}  // namespace Tamsor

#endif

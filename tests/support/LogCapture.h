#ifndef TAMSOR_TESTS_LOGCAPTURE_H
#define TAMSOR_TESTS_LOGCAPTURE_H

// A log4cplus appender of the tests' own: while a LogCapture lives, every event that reaches log4cplus's root
// logger is recorded with its logger name, level, text, file and line.

#include <memory>
#include <string>
#include <vector>

namespace Tamsor {
namespace Testing {

struct CapturedEvent {
    std::string logger;   // e.g. "corvane.zzip.ZIPFileSystem"
    int level = -1;       // log4cplus level: TRACE 0, DEBUG 10000, ERROR 40000
    std::string message;  // the text as sent
    std::string file;     // the file name the site reported ("" for trace scopes)
    int line = -1;        // the line the site reported
};

class LogCapture {
  public:
    // Attaches to the root logger at `rootLevel` (TRACE by default), the "corvane" loggers inheriting it.
    explicit LogCapture(int rootLevel = 0);
    ~LogCapture();  // detaches and puts the root level back

    std::vector<CapturedEvent> events() const;
    std::vector<std::string> messagesOf(const std::string& loggerName) const;  // in order
    void clear();

    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

  private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

extern const char* const kZipLogger;        // "corvane.zzip.ZIPFileSystem"
extern const char* const kEncryptedLogger;  // "corvane.zzip.ZIPEncryptedFileSystem"
extern const char* const kAssertionLogger;  // "corvane.infra.Assertion"

}  // namespace Testing
}  // namespace Tamsor

#endif

#ifndef TAMSOR_TESTS_LOGCAPTURE_H
#define TAMSOR_TESTS_LOGCAPTURE_H

// A log4cplus appender of the tests' own: while a LogCapture lives, every event that reaches log4cplus's root
// logger is recorded with its logger name, level, text, file and line.

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>

#include <mutex>
#include <string>
#include <vector>

namespace Tamsor {
namespace Testing {

inline const char* const kZipLogger = "corvane.zzip.ZIPFileSystem";
inline const char* const kEncryptedLogger = "corvane.zzip.ZIPEncryptedFileSystem";
inline const char* const kAssertionLogger = "corvane.infra.Assertion";

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
    explicit LogCapture(int rootLevel = 0) {
        for (const char* name : {"corvane", "corvane.zzip", kZipLogger, kEncryptedLogger, kAssertionLogger})
            log4cplus::Logger::getInstance(name).setLogLevel(log4cplus::NOT_SET_LOG_LEVEL);
        log4cplus::Logger::getRoot().setLogLevel(rootLevel);
        log4cplus::Logger::getRoot().addAppender(m_shared);
    }
    ~LogCapture() {  // detaches and puts the root level back
        log4cplus::Logger::getRoot().removeAppender(m_shared);
        log4cplus::Logger::getRoot().setLogLevel(m_savedRootLevel);
    }

    std::vector<CapturedEvent> events() const {
        std::lock_guard<std::mutex> lock(m_pAppender->mutex);
        return m_pAppender->events;
    }
    std::vector<std::string> messagesOf(const std::string& loggerName) const {  // in order
        std::vector<std::string> messages;
        for (const CapturedEvent& e : events())
            if (e.logger == loggerName) messages.push_back(e.message);
        return messages;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(m_pAppender->mutex);
        m_pAppender->events.clear();
    }

    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

  private:
    // log4cplus shares appenders by reference count, so the records live in the appender: a thread still inside
    // append() keeps them alive after the LogCapture has gone.
    struct Appender : log4cplus::Appender {
        ~Appender() override { destructorImpl(); }
        void close() override { closed = true; }
        void append(const log4cplus::spi::InternalLoggingEvent& e) override {
            std::lock_guard<std::mutex> lock(mutex);
            events.push_back(
                CapturedEvent{e.getLoggerName(), e.getLogLevel(), e.getMessage(), e.getFile(), e.getLine()});
        }
        std::mutex mutex;
        std::vector<CapturedEvent> events;
    };
    static bool initialised() {
        static const bool bInitialised = (log4cplus::initialize(), true);  // never shut down: loggers outlive tests
        return bInitialised;
    }
    const bool m_bInitialised = initialised();  // first: log4cplus is set up before the members below use it
    const log4cplus::LogLevel m_savedRootLevel = log4cplus::Logger::getRoot().getLogLevel();
    Appender* const m_pAppender = new Appender;  // owned through m_shared
    const log4cplus::SharedAppenderPtr m_shared{m_pAppender};
};

}  // namespace Testing
}  // namespace Tamsor

#endif

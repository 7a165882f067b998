#include "LogCapture.h"

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/loglevel.h>
#include <log4cplus/spi/loggingevent.h>
#include <log4cplus/config.hxx>

namespace Tamsor {
namespace Testing {

const char* const kZipLogger = "corvane.zzip.ZIPFileSystem";
const char* const kEncryptedLogger = "corvane.zzip.ZIPEncryptedFileSystem";
const char* const kAssertionLogger = "corvane.infra.Assertion";

namespace {

// Loggers a test may have given a level of their own; cleared so that they follow the root.
const char* const kInheritingLoggers[] = {"corvane", "corvane.zzip", "corvane.zzip.ZIPFileSystem",
                                          "corvane.zzip.ZIPEncryptedFileSystem", "corvane.infra.Assertion"};

// Once per process. log4cplus is never shut down here: the library's loggers live until the process ends
// and may still log on the way out.
void ensureLog4cplusInitialised() {
    static const bool bInitialised = (log4cplus::initialize(), true);
    (void)bInitialised;
}

// Records every event it is given. log4cplus shares appenders by reference count, so the records live in
// the appender itself: a thread still inside append() keeps them alive after the LogCapture has gone.
class RecordingAppender : public log4cplus::Appender {
  public:
    RecordingAppender() { setName(LOG4CPLUS_TEXT("tamsor-test-capture")); }
    ~RecordingAppender() override { destructorImpl(); }

    void close() override { closed = true; }

    std::vector<CapturedEvent> events() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }

    void clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.clear();
    }

  protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override {
        CapturedEvent captured;
        captured.logger = event.getLoggerName();
        captured.level = event.getLogLevel();
        captured.message = event.getMessage();
        captured.file = event.getFile();
        captured.line = event.getLine();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(captured);
    }

  private:
    mutable std::mutex m_mutex;
    std::vector<CapturedEvent> m_events;
};

}  // namespace

struct LogCapture::Impl {
    RecordingAppender* pAppender = nullptr;  // owned through sharedAppender
    log4cplus::SharedAppenderPtr sharedAppender;
    log4cplus::LogLevel savedRootLevel = log4cplus::NOT_SET_LOG_LEVEL;
};

LogCapture::LogCapture(int rootLevel) : m_pImpl(new Impl) {
    ensureLog4cplusInitialised();
    m_pImpl->pAppender = new RecordingAppender;
    m_pImpl->sharedAppender = log4cplus::SharedAppenderPtr(m_pImpl->pAppender);

    log4cplus::Logger root = log4cplus::Logger::getRoot();
    m_pImpl->savedRootLevel = root.getLogLevel();
    for (const char* name : kInheritingLoggers) {
        log4cplus::Logger::getInstance(name).setLogLevel(log4cplus::NOT_SET_LOG_LEVEL);
    }
    root.setLogLevel(rootLevel);
    root.addAppender(m_pImpl->sharedAppender);
}

LogCapture::~LogCapture() {
    log4cplus::Logger root = log4cplus::Logger::getRoot();
    root.removeAppender(m_pImpl->sharedAppender);
    root.setLogLevel(m_pImpl->savedRootLevel);
    delete m_pImpl;
}

std::vector<CapturedEvent> LogCapture::events() const {
    return m_pImpl->pAppender->events();
}

std::vector<CapturedEvent> LogCapture::eventsOf(const std::string& loggerName) const {
    std::vector<CapturedEvent> selected;
    for (const CapturedEvent& event : events()) {
        if (event.logger == loggerName) selected.push_back(event);
    }
    return selected;
}

std::vector<std::string> LogCapture::messagesOf(const std::string& loggerName) const {
    std::vector<std::string> messages;
    for (const CapturedEvent& event : eventsOf(loggerName)) messages.push_back(event.message);
    return messages;
}

void LogCapture::clear() {
    m_pImpl->pAppender->clear();
}

}  // namespace Testing
}  // namespace Tamsor

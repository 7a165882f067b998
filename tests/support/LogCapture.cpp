#include "LogCapture.h"

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>

#include <mutex>

namespace Tamsor {
namespace Testing {

const char* const kZipLogger = "corvane.zzip.ZIPFileSystem";
const char* const kEncryptedLogger = "corvane.zzip.ZIPEncryptedFileSystem";
const char* const kAssertionLogger = "corvane.infra.Assertion";

namespace {

// log4cplus shares appenders by reference count, so the records live in the appender: a thread still inside
// append() keeps them alive after the LogCapture has gone.
class RecordingAppender : public log4cplus::Appender {
  public:
    ~RecordingAppender() override { destructorImpl(); }
    void close() override { closed = true; }

    mutable std::mutex mutex;
    std::vector<CapturedEvent> events;

  protected:
    void append(const log4cplus::spi::InternalLoggingEvent& e) override {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(CapturedEvent{e.getLoggerName(), e.getLogLevel(), e.getMessage(), e.getFile(), e.getLine()});
    }
};

}  // namespace

struct LogCapture::Impl {
    RecordingAppender* pAppender = new RecordingAppender;  // owned through shared
    log4cplus::SharedAppenderPtr shared{pAppender};
    log4cplus::LogLevel savedRootLevel = log4cplus::Logger::getRoot().getLogLevel();
};

LogCapture::LogCapture(int rootLevel) {
    static const bool bInitialised = (log4cplus::initialize(), true);  // never shut down: loggers outlive tests
    (void)bInitialised;
    m_pImpl.reset(new Impl);
    for (const char* name : {"corvane", "corvane.zzip", kZipLogger, kEncryptedLogger, kAssertionLogger})
        log4cplus::Logger::getInstance(name).setLogLevel(log4cplus::NOT_SET_LOG_LEVEL);
    log4cplus::Logger::getRoot().setLogLevel(rootLevel);
    log4cplus::Logger::getRoot().addAppender(m_pImpl->shared);
}

LogCapture::~LogCapture() {
    log4cplus::Logger::getRoot().removeAppender(m_pImpl->shared);
    log4cplus::Logger::getRoot().setLogLevel(m_pImpl->savedRootLevel);
}

std::vector<CapturedEvent> LogCapture::events() const {
    std::lock_guard<std::mutex> lock(m_pImpl->pAppender->mutex);
    return m_pImpl->pAppender->events;
}

std::vector<std::string> LogCapture::messagesOf(const std::string& loggerName) const {
    std::vector<std::string> messages;
    for (const CapturedEvent& e : events())
        if (e.logger == loggerName) messages.push_back(e.message);
    return messages;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(m_pImpl->pAppender->mutex);
    m_pImpl->pAppender->events.clear();
}

}  // namespace Testing
}  // namespace Tamsor

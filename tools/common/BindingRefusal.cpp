#include "BindingRefusal.h"

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/loglevel.h>
#include <log4cplus/spi/loggingevent.h>

#include <mutex>

namespace Tamsor {
namespace Tool {

namespace {

const char kFileSystemLogger[] = "corvane.zzip.ZIPFileSystem";
const char kReasonPrefix[] = "ZIP archive ";

std::mutex g_mutex;
std::string g_strLastReasonLine;  // the text after kReasonPrefix: "<path> <reason>"

class RefusalAppender : public log4cplus::Appender {
  public:
    RefusalAppender() { setName(LOG4CPLUS_TEXT("zipfs-binding-refusal")); }
    ~RefusalAppender() override { destructorImpl(); }
    void close() override { closed = true; }

  protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override {
        const std::string& message = event.getMessage();
        if (event.getLogLevel() != log4cplus::ERROR_LOG_LEVEL ||
            message.compare(0, sizeof(kReasonPrefix) - 1, kReasonPrefix) != 0)
            return;
        std::lock_guard<std::mutex> lock(g_mutex);
        g_strLastReasonLine = message.substr(sizeof(kReasonPrefix) - 1);
    }
};

}  // namespace

void catchBindingRefusals(bool bQuiet) {
    log4cplus::Logger logger = log4cplus::Logger::getInstance(kFileSystemLogger);
    logger.addAppender(log4cplus::SharedAppenderPtr(new RefusalAppender));
    if (bQuiet) logger.setLogLevel(log4cplus::ERROR_LOG_LEVEL);
}

std::string takeBindingRefusal(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::string line;
    line.swap(g_strLastReasonLine);
    const std::string prefix = path + " ";
    return line.compare(0, prefix.size(), prefix) == 0 ? line.substr(prefix.size()) : std::string();
}

}  // namespace Tool
}  // namespace Tamsor

#include "Logging.h"

#include <log4cplus/configurator.h>
#include <log4cplus/consoleappender.h>
#include <log4cplus/layout.h>
#include <log4cplus/logger.h>
#include <log4cplus/loglevel.h>
#include <log4cplus/nullappender.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

namespace Tamsor {
namespace Tool {

namespace {

const char kLibraryLoggers[] = "corvane.zzip";

void attachStandardError(log4cplus::Logger& rLogger) {
    log4cplus::SharedAppenderPtr pAppender(new log4cplus::ConsoleAppender(true, true));
    pAppender->setLayout(std::unique_ptr<log4cplus::Layout>(new log4cplus::PatternLayout("%-5p %c: %m%n")));
    rLogger.addAppender(pAppender);
}

}  // namespace

bool setUpLogging(Verbosity verbosity, std::string& rError) {
    log4cplus::Logger root = log4cplus::Logger::getRoot();
    // An appender on the root keeps log4cplus from warning that there is none, and swallows what is not shown.
    root.addAppender(log4cplus::SharedAppenderPtr(new log4cplus::NullAppender));
    const char* pConfig = std::getenv("ZIPFS_LOG_CONFIG");
    if (pConfig && *pConfig) {
        if (::access(pConfig, R_OK) != 0) {
            rError = std::string("cannot read log configuration '") + pConfig + "' (ZIPFS_LOG_CONFIG)";
            return false;
        }
        log4cplus::PropertyConfigurator::doConfigure(pConfig);
        return true;
    }
    if (verbosity == Verbosity::Quiet) {
        root.setLogLevel(log4cplus::OFF_LOG_LEVEL);
        return true;
    }
    root.setLogLevel(log4cplus::WARN_LOG_LEVEL);
    attachStandardError(root);
    log4cplus::Logger::getInstance(kLibraryLoggers)
        .setLogLevel(verbosity == Verbosity::Trace ? log4cplus::TRACE_LOG_LEVEL : log4cplus::DEBUG_LOG_LEVEL);
    return true;
}

}  // namespace Tool
}  // namespace Tamsor

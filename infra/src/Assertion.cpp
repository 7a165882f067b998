#include "tamsor/infra/Assertion.h"

#include <log4cplus/logger.h>

namespace Tamsor {

const char* Assertion::loggerName() {
    return "corvane.infra.Assertion";
}

Assertion::Assertion(bool bCondition, const char* text, const char* file, int line) {
    if (bCondition) return;
    // Looked up on every report: assertions are rare, and a cached static would race with log4cplus's own
    // shutdown when one fires during static destruction.
    log4cplus::Logger logger = log4cplus::Logger::getInstance(loggerName());
    if (!logger.isEnabledFor(log4cplus::ERROR_LOG_LEVEL)) return;
    logger.forcedLog(log4cplus::ERROR_LOG_LEVEL, std::string("Assertion failed: ") + (text ? text : ""),
                     file ? file : "", line, "");
}

}  // namespace Tamsor

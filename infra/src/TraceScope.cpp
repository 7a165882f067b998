#include "tamsor/infra/TraceScope.h"

#include <string>

namespace Tamsor {

namespace {

bool scopeTraces(const Logger& logger, LogLevel level) {
    const bool bLevelAllows = level == kNoLogLevel ? logger.isEnabledFor(kTraceLogLevel) : level <= kTraceLogLevel;
    return bLevelAllows && logger.isActive() != 0;
}

}  // namespace

TraceScope::TraceScope(const Logger& logger, const char* text, LogLevel level)
    : m_rLogger(logger), m_pText(text ? text : ""), m_bTracing(scopeTraces(logger, level)) {
    if (m_bTracing) ctorLog();
}

TraceScope::~TraceScope() {
    if (m_bTracing) dtorLog();
}

void TraceScope::ctorLog() {
    m_rLogger.logMessage(kTraceLogLevel, std::string("ENTER: ") + m_pText, nullptr, -1);
}

void TraceScope::dtorLog() {
    m_rLogger.logMessage(kTraceLogLevel, std::string("EXIT: ") + m_pText, nullptr, -1);
}

}  // namespace Tamsor

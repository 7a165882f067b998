#include "tamsor/infra/Logger.h"

namespace Tamsor {

Logger::Logger() : m_log4cplusLogger(), m_bBound(false), m_bActive(true) {}

Logger::Logger(const std::string& name)
    : m_log4cplusLogger(log4cplus::Logger::getInstance(name)), m_bBound(true), m_bActive(true) {}

Logger::Logger(const Logger& other)
    : m_log4cplusLogger(other.m_log4cplusLogger), m_bBound(other.m_bBound), m_bActive(other.m_bActive) {}

Logger& Logger::operator=(const Logger& other) {
    m_log4cplusLogger = other.m_log4cplusLogger;
    m_bBound = other.m_bBound;
    m_bActive = other.m_bActive;
    return *this;
}

Logger::~Logger() {}

bool Logger::isEnabledFor(LogLevel level) const {
    return m_bBound && m_log4cplusLogger.isEnabledFor(level);
}

std::string Logger::getName() const {
    return m_bBound ? m_log4cplusLogger.getName() : std::string();
}

LogLevel Logger::getChainedLogLevel() const {
    return m_bBound ? m_log4cplusLogger.getChainedLogLevel() : kNoLogLevel;
}

int Logger::isActive() const {
    return m_bBound && m_bActive ? 1 : 0;
}

void Logger::setActive(bool bActive) {
    m_bActive = bActive;
}

void Logger::logMessage(LogLevel level, const std::string& text, const char* file, int line) const {
    if (!m_bBound) return;
    m_log4cplusLogger.forcedLog(level, text, file ? file : "", line, "");
}

}  // namespace Tamsor

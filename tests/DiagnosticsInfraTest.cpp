// Loggers, cached-level loggers, trace scopes, assertions and the logging macros, observed through a real
// log4cplus appender.

#include <gtest/gtest.h>
#include <log4cplus/logger.h>
#include <log4cplus/loglevel.h>

#include <ostream>
#include <string>
#include <vector>

#include "support/LogCapture.h"
#include "tamsor/infra/Assertion.h"
#include "tamsor/infra/CachedLLLogger.h"
#include "tamsor/infra/LogMacros.h"
#include "tamsor/infra/Logger.h"
#include "tamsor/infra/TraceScope.h"

#define TAMSOR_SOURCE_FILE "DiagnosticsInfraTest"

namespace Tamsor {
namespace {

using Testing::CapturedEvent;
using Testing::LogCapture;

const char kParentName[] = "tamsortest.diag";
const char kLoggerName[] = "tamsortest.diag.unit";

void setLevel(const char* name, int level) {
    log4cplus::Logger::getInstance(name).setLogLevel(level);
}

const LogLevel kAllLevels[] = {kTraceLogLevel, kDebugLogLevel, kInfoLogLevel,
                               kWarnLogLevel,  kErrorLogLevel, kFatalLogLevel};

// Captures everything from TRACE up; the test loggers start with no level of their own.
class DiagnosticsTest : public ::testing::Test {
  protected:
    void TearDown() override {
        setLevel(kLoggerName, log4cplus::NOT_SET_LOG_LEVEL);
        setLevel(kParentName, log4cplus::NOT_SET_LOG_LEVEL);
    }

    LogCapture m_capture;
};

// A piece of a log line that counts how often it is streamed.
struct CountedPiece {
    int* pStreamed;
};

std::ostream& operator<<(std::ostream& out, const CountedPiece& piece) {
    ++*piece.pStreamed;
    return out << "piece";
}

std::string eventLine(const std::string& logger, int level, const std::string& file, int line,
                      const std::string& text) {
    return logger + " " + std::to_string(level) + " " + file + ":" + std::to_string(line) + " " + text;
}

// Every captured event as one line, so that a mismatch prints readably.
std::vector<std::string> eventLines(const LogCapture& capture) {
    std::vector<std::string> lines;
    for (const CapturedEvent& e : capture.events())
        lines.push_back(eventLine(e.logger, e.level, e.file, e.line, e.message));
    return lines;
}

// A named logger follows log4cplus's chained level (its own beats its parent's); activity is ours alone. An
// unbound logger is silent until a named one is assigned to it.
TEST_F(DiagnosticsTest, NamedLoggerFollowsLog4cplusLevels) {
    Logger logger(kLoggerName);
    EXPECT_EQ(kLoggerName, logger.getName());
    EXPECT_EQ(1, logger.isActive());
    EXPECT_EQ(kTraceLogLevel, logger.getChainedLogLevel());  // the root's, set by the capture
    setLevel(kParentName, log4cplus::WARN_LOG_LEVEL);
    EXPECT_EQ(kWarnLogLevel, logger.getChainedLogLevel());
    EXPECT_FALSE(logger.isEnabledFor(kInfoLogLevel));
    EXPECT_TRUE(logger.isEnabledFor(kWarnLogLevel));
    setLevel(kLoggerName, log4cplus::DEBUG_LOG_LEVEL);
    EXPECT_EQ(kDebugLogLevel, logger.getChainedLogLevel());
    EXPECT_FALSE(logger.isEnabledFor(kTraceLogLevel));
    logger.setActive(false);
    EXPECT_EQ(0, logger.isActive());
    EXPECT_TRUE(logger.isEnabledFor(kDebugLogLevel));

    Logger unbound;
    EXPECT_EQ(0, unbound.isActive());
    EXPECT_EQ(kNoLogLevel, unbound.getChainedLogLevel());
    for (LogLevel level : kAllLevels) EXPECT_FALSE(unbound.isEnabledFor(level)) << level;
    unbound.logMessage(kFatalLogLevel, "never seen", "File", 1);
    EXPECT_TRUE(m_capture.events().empty());
    unbound = Logger(kLoggerName);
    EXPECT_EQ(1, unbound.isActive());
}

// logMessage does no level test of its own.
TEST_F(DiagnosticsTest, LogMessageReachesTheAppenderAsGiven) {
    Logger logger(kLoggerName);
    setLevel(kLoggerName, log4cplus::FATAL_LOG_LEVEL);
    logger.logMessage(kInfoLogLevel, "some text", "SomeFile", 77);
    logger.logMessage(kTraceLogLevel, "no file", nullptr, 5);
    EXPECT_EQ(eventLines(m_capture),
              (std::vector<std::string>{eventLine(kLoggerName, kInfoLogLevel, "SomeFile", 77, "some text"),
                                        eventLine(kLoggerName, kTraceLogLevel, "", 5, "no file")}));
}

// Without a cached level log4cplus is asked each time; a cached level decides alone, stale on purpose, until
// the next refresh, which takes the chained level.
TEST_F(DiagnosticsTest, CachedLoggerAsksLog4cplusUntilALevelIsCached) {
    CachedLLLogger logger(kLoggerName);
    EXPECT_EQ(kNoLogLevel, logger.getCachedLogLevel());
    setLevel(kLoggerName, log4cplus::WARN_LOG_LEVEL);
    EXPECT_FALSE(logger.isEnabledFor(kInfoLogLevel));
    setLevel(kLoggerName, log4cplus::DEBUG_LOG_LEVEL);
    EXPECT_TRUE(logger.isEnabledFor(kInfoLogLevel));
    EXPECT_EQ(kDebugLogLevel, logger.getKnownLogLevel());
    for (LogLevel cached : {kTraceLogLevel, kDebugLogLevel, kWarnLogLevel, kFatalLogLevel}) {
        logger.setCachedLogLevel(cached);
        setLevel(kLoggerName, cached <= kDebugLogLevel ? log4cplus::FATAL_LOG_LEVEL : log4cplus::TRACE_LOG_LEVEL);
        EXPECT_EQ(cached, logger.getKnownLogLevel());
        for (LogLevel level : kAllLevels)
            EXPECT_EQ(cached <= level, logger.isEnabledFor(level)) << cached << " " << level;
    }
    setLevel(kLoggerName, log4cplus::NOT_SET_LOG_LEVEL);
    setLevel(kParentName, log4cplus::INFO_LOG_LEVEL);
    logger.refreshCachedLogLevel();
    setLevel(kParentName, log4cplus::ERROR_LOG_LEVEL);
    EXPECT_EQ(kInfoLogLevel, logger.getCachedLogLevel());
    EXPECT_TRUE(logger.isEnabledFor(kInfoLogLevel));
    logger.refreshCachedLogLevel();
    EXPECT_FALSE(logger.isEnabledFor(kInfoLogLevel));
}

// A scope traces with an explicit level at or below TRACE, or with no level when log4cplus enables TRACE;
// never on an inactive logger.
TEST_F(DiagnosticsTest, TraceScopeTracesExactlyWhenLevelAndActivityAllow) {
    const std::vector<std::string> traced = {eventLine(kLoggerName, kTraceLogLevel, "", -1, "ENTER: the scope"),
                                             eventLine(kLoggerName, kTraceLogLevel, "", -1, "EXIT: the scope")};
    for (LogLevel level : {kNoLogLevel, -2, kTraceLogLevel, kDebugLogLevel, kErrorLogLevel}) {
        for (bool bTraceEnabled : {false, true}) {
            for (bool bActive : {false, true}) {
                SCOPED_TRACE("level " + std::to_string(level) + " trace " + std::to_string(bTraceEnabled) + " active " +
                             std::to_string(bActive));
                Logger logger(kLoggerName);
                logger.setActive(bActive);
                setLevel(kLoggerName, bTraceEnabled ? log4cplus::TRACE_LOG_LEVEL : log4cplus::DEBUG_LOG_LEVEL);
                const bool bExpected = (level == kNoLogLevel ? bTraceEnabled : level <= 0) && bActive;
                m_capture.clear();
                {
                    TraceScope scope(logger, "the scope", level);
                    EXPECT_EQ(bExpected, scope.isTracing());
                    EXPECT_EQ(bExpected ? 1u : 0u, m_capture.events().size());
                }
                EXPECT_EQ(bExpected ? traced : std::vector<std::string>(), eventLines(m_capture));
            }
        }
    }
}

TEST_F(DiagnosticsTest, LogMacroBuildsTextOnlyWhenEnabledAndActive) {
    int streamed = 0;
    const CountedPiece piece = {&streamed};
    Logger logger(kLoggerName);
    setLevel(kLoggerName, log4cplus::INFO_LOG_LEVEL);

    const int line = __LINE__ + 1;
    TAMSOR_LOG(logger, kWarnLogLevel, "a " << piece << " " << 7);
    EXPECT_EQ(1, streamed);
    EXPECT_EQ(eventLines(m_capture),
              std::vector<std::string>{eventLine(kLoggerName, kWarnLogLevel, TAMSOR_SOURCE_FILE, line, "a piece 7")});

    m_capture.clear();
    TAMSOR_LOG(logger, kDebugLogLevel, piece);  // below the logger's level
    logger.setActive(false);
    TAMSOR_LOG(logger, kErrorLogLevel, piece);  // enabled but inactive
    Logger unbound;
    TAMSOR_LOG(unbound, kFatalLogLevel, piece);
    EXPECT_EQ(1, streamed);
    EXPECT_TRUE(m_capture.events().empty());

    // An object logger is tested on its cached level, not on log4cplus's.
    CachedLLLogger cached(kLoggerName);
    cached.setCachedLogLevel(kErrorLogLevel);
    setLevel(kLoggerName, log4cplus::TRACE_LOG_LEVEL);
    TAMSOR_LOG(cached, kWarnLogLevel, piece);
    EXPECT_EQ(1, streamed);
    cached.setCachedLogLevel(kTraceLogLevel);
    setLevel(kLoggerName, log4cplus::FATAL_LOG_LEVEL);
    TAMSOR_LOG(cached, kDebugLogLevel, piece);
    EXPECT_EQ(2, streamed);
    ASSERT_EQ(1u, m_capture.events().size());
    EXPECT_EQ(kDebugLogLevel, m_capture.events()[0].level);
}

int g_guardLine = 0;

bool counted(bool bValue, int* pEvaluations) {
    ++*pEvaluations;
    return bValue;
}

int guarded(bool bValue, int* pEvaluations) {
    g_guardLine = __LINE__ + 1;
    TAMSOR_ASSERT_OR_RETURN(counted(bValue, pEvaluations), -1);
    return 1;
}

// Each assertion macro is a single statement: an `else` after it belongs to the `if` around it.
int elseAfterAssertions(bool bOuter, bool bCondition) {
    if (bOuter)
        TAMSOR_ASSERT(bCondition);
    else
        return 2;
    if (bOuter)
        TAMSOR_ASSERT_OR_RETURN(bCondition, -1);
    else
        return 3;
    return 1;
}

// A failed assertion reports at ERROR on its own logger and returns: it never stops the process.
TEST_F(DiagnosticsTest, AssertOrReturnReportsTheConditionAndReturnsTheResult) {
    int evaluations = 0;
    EXPECT_EQ(1, guarded(true, &evaluations));
    EXPECT_EQ(1, evaluations);
    EXPECT_TRUE(m_capture.events().empty());

    EXPECT_EQ(-1, guarded(false, &evaluations));
    EXPECT_EQ(2, evaluations);
    EXPECT_EQ(eventLines(m_capture),
              std::vector<std::string>{eventLine(Testing::kAssertionLogger, kErrorLogLevel, TAMSOR_SOURCE_FILE,
                                                 g_guardLine, "Assertion failed: counted(bValue, pEvaluations)")});

    // With the assertion logger above ERROR nothing is reported, and the result is still returned.
    m_capture.clear();
    setLevel(Testing::kAssertionLogger, log4cplus::FATAL_LOG_LEVEL);
    EXPECT_EQ(-1, guarded(false, &evaluations));
    setLevel(Testing::kAssertionLogger, log4cplus::NOT_SET_LOG_LEVEL);
    EXPECT_EQ(3, evaluations);
    EXPECT_TRUE(m_capture.events().empty());

    EXPECT_EQ(2, elseAfterAssertions(false, false));
    EXPECT_EQ(1, elseAfterAssertions(true, true));
    EXPECT_EQ(-1, elseAfterAssertions(true, false));
    EXPECT_EQ(2u, m_capture.events().size());  // each macro reported its failed condition once
}

}  // namespace
}  // namespace Tamsor

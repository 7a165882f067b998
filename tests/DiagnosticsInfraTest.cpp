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

TEST_F(DiagnosticsTest, NamedLoggerFollowsLog4cplusLevels) {
    Logger logger(kLoggerName);
    EXPECT_EQ(kLoggerName, logger.getName());
    EXPECT_EQ(1, logger.isActive());

    EXPECT_EQ(kTraceLogLevel, logger.getChainedLogLevel());  // the root's, set by the capture
    setLevel(kParentName, log4cplus::WARN_LOG_LEVEL);
    EXPECT_EQ(kWarnLogLevel, logger.getChainedLogLevel());
    EXPECT_FALSE(logger.isEnabledFor(kInfoLogLevel));
    EXPECT_TRUE(logger.isEnabledFor(kWarnLogLevel));
    EXPECT_TRUE(logger.isEnabledFor(kFatalLogLevel));

    setLevel(kLoggerName, log4cplus::DEBUG_LOG_LEVEL);  // its own level beats the parent's
    EXPECT_EQ(kDebugLogLevel, logger.getChainedLogLevel());
    EXPECT_FALSE(logger.isEnabledFor(kTraceLogLevel));
    EXPECT_TRUE(logger.isEnabledFor(kDebugLogLevel));

    logger.setActive(false);
    EXPECT_EQ(0, logger.isActive());
    EXPECT_TRUE(logger.isEnabledFor(kDebugLogLevel));  // log4cplus's view is untouched
    logger.setActive(true);
    EXPECT_EQ(1, logger.isActive());
}

TEST_F(DiagnosticsTest, UnboundLoggerIsSilent) {
    Logger unbound;
    EXPECT_EQ("", unbound.getName());
    EXPECT_EQ(0, unbound.isActive());
    EXPECT_EQ(kNoLogLevel, unbound.getChainedLogLevel());
    for (LogLevel level : kAllLevels) EXPECT_FALSE(unbound.isEnabledFor(level)) << level;
    unbound.logMessage(kFatalLogLevel, "never seen", "File", 1);
    EXPECT_TRUE(m_capture.events().empty());

    unbound = Logger(kLoggerName);  // assigning a named logger binds it
    EXPECT_EQ(1, unbound.isActive());
    EXPECT_EQ(kLoggerName, unbound.getName());
}

TEST_F(DiagnosticsTest, LogMessageReachesTheAppenderAsGiven) {
    Logger logger(kLoggerName);
    setLevel(kLoggerName, log4cplus::FATAL_LOG_LEVEL);  // logMessage does no level test of its own
    logger.logMessage(kInfoLogLevel, "some text", "SomeFile", 77);
    logger.logMessage(kTraceLogLevel, "no file", nullptr, 5);

    const std::vector<CapturedEvent> events = m_capture.events();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(kLoggerName, events[0].logger);
    EXPECT_EQ(kInfoLogLevel, events[0].level);
    EXPECT_EQ("some text", events[0].message);
    EXPECT_EQ("SomeFile", events[0].file);
    EXPECT_EQ(77, events[0].line);
    EXPECT_EQ(kTraceLogLevel, events[1].level);
    EXPECT_EQ("", events[1].file);
    EXPECT_EQ(5, events[1].line);
}

TEST_F(DiagnosticsTest, CachedLoggerAsksLog4cplusUntilALevelIsCached) {
    CachedLLLogger logger(kLoggerName);
    EXPECT_EQ(kNoLogLevel, logger.getCachedLogLevel());
    setLevel(kLoggerName, log4cplus::WARN_LOG_LEVEL);
    EXPECT_FALSE(logger.isEnabledFor(kInfoLogLevel));
    EXPECT_EQ(kWarnLogLevel, logger.getKnownLogLevel());
    setLevel(kLoggerName, log4cplus::DEBUG_LOG_LEVEL);
    EXPECT_TRUE(logger.isEnabledFor(kInfoLogLevel));
    EXPECT_EQ(kDebugLogLevel, logger.getKnownLogLevel());

    // A cached level decides alone, whatever log4cplus says.
    for (LogLevel cached : {kTraceLogLevel, kDebugLogLevel, kWarnLogLevel, kFatalLogLevel}) {
        logger.setCachedLogLevel(cached);
        setLevel(kLoggerName, cached <= kDebugLogLevel ? log4cplus::FATAL_LOG_LEVEL : log4cplus::TRACE_LOG_LEVEL);
        EXPECT_EQ(cached, logger.getKnownLogLevel());
        for (LogLevel level : kAllLevels)
            EXPECT_EQ(cached <= level, logger.isEnabledFor(level)) << cached << " " << level;
    }
}

TEST_F(DiagnosticsTest, RefreshTakesTheChainedLevelAndKeepsItUntilTheNextRefresh) {
    CachedLLLogger logger(kLoggerName);
    setLevel(kParentName, log4cplus::INFO_LOG_LEVEL);
    logger.refreshCachedLogLevel();
    EXPECT_EQ(kInfoLogLevel, logger.getCachedLogLevel());

    setLevel(kParentName, log4cplus::ERROR_LOG_LEVEL);
    EXPECT_TRUE(logger.isEnabledFor(kInfoLogLevel));  // stale on purpose
    EXPECT_EQ(kInfoLogLevel, logger.getKnownLogLevel());
    logger.refreshCachedLogLevel();
    EXPECT_EQ(kErrorLogLevel, logger.getCachedLogLevel());
    EXPECT_FALSE(logger.isEnabledFor(kInfoLogLevel));
}

TEST_F(DiagnosticsTest, TraceScopeTracesExactlyWhenLevelAndActivityAllow) {
    for (LogLevel level : {kNoLogLevel, -2, kTraceLogLevel, kDebugLogLevel, kErrorLogLevel}) {
        for (bool bTraceEnabled : {false, true}) {
            for (bool bActive : {false, true}) {
                Logger logger(kLoggerName);
                logger.setActive(bActive);
                setLevel(kLoggerName, bTraceEnabled ? log4cplus::TRACE_LOG_LEVEL : log4cplus::DEBUG_LOG_LEVEL);
                const bool bExpected =
                    ((level == kNoLogLevel && bTraceEnabled) || (level != kNoLogLevel && level <= 0)) && bActive;
                const std::string where = "level " + std::to_string(level) + " trace " + std::to_string(bTraceEnabled) +
                                          " active " + std::to_string(bActive);
                m_capture.clear();
                {
                    TraceScope scope(logger, "the scope", level);
                    EXPECT_EQ(bExpected, scope.isTracing()) << where;
                    EXPECT_EQ(bExpected ? 1u : 0u, m_capture.events().size()) << where;
                }
                const std::vector<CapturedEvent> events = m_capture.events();
                if (!bExpected) {
                    EXPECT_TRUE(events.empty()) << where;
                    continue;
                }
                ASSERT_EQ(2u, events.size()) << where;
                EXPECT_EQ("ENTER: the scope", events[0].message) << where;
                EXPECT_EQ("EXIT: the scope", events[1].message) << where;
                for (const CapturedEvent& event : events) {
                    EXPECT_EQ(kTraceLogLevel, event.level) << where;
                    EXPECT_EQ(kLoggerName, event.logger) << where;
                    EXPECT_EQ("", event.file) << where;
                }
            }
        }
    }

    Logger unbound;  // never active, so never traces
    m_capture.clear();
    { TraceScope scope(unbound, "unbound", kTraceLogLevel); }
    EXPECT_TRUE(m_capture.events().empty());
}

TEST_F(DiagnosticsTest, AssertionReportsAtErrorAndReturns) {
    Assertion(true, "holds", "File", 41);
    EXPECT_TRUE(m_capture.events().empty());

    Assertion(false, "text", "File", 42);  // returns: a failed assertion never stops the process
    const std::vector<CapturedEvent> events = m_capture.events();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(Testing::kAssertionLogger, events[0].logger);
    EXPECT_EQ(kErrorLogLevel, events[0].level);
    EXPECT_EQ("Assertion failed: text", events[0].message);
    EXPECT_EQ("File", events[0].file);
    EXPECT_EQ(42, events[0].line);
}

TEST_F(DiagnosticsTest, LogMacroBuildsTextOnlyWhenEnabledAndActive) {
    int streamed = 0;
    const CountedPiece piece = {&streamed};
    Logger logger(kLoggerName);
    setLevel(kLoggerName, log4cplus::INFO_LOG_LEVEL);

    const int line = __LINE__ + 1;
    TAMSOR_LOG(logger, kWarnLogLevel, "a " << piece << " " << 7);
    EXPECT_EQ(1, streamed);
    std::vector<CapturedEvent> events = m_capture.events();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ("a piece 7", events[0].message);
    EXPECT_EQ(kWarnLogLevel, events[0].level);
    EXPECT_EQ(kLoggerName, events[0].logger);
    EXPECT_EQ(TAMSOR_SOURCE_FILE, events[0].file);
    EXPECT_EQ(line, events[0].line);

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
    events = m_capture.events();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(kDebugLogLevel, events[0].level);
    EXPECT_EQ("piece", events[0].message);
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

TEST_F(DiagnosticsTest, AssertOrReturnReportsTheConditionAndReturnsTheResult) {
    int evaluations = 0;
    EXPECT_EQ(1, guarded(true, &evaluations));
    EXPECT_EQ(1, evaluations);
    EXPECT_TRUE(m_capture.events().empty());

    EXPECT_EQ(-1, guarded(false, &evaluations));
    EXPECT_EQ(2, evaluations);
    std::vector<CapturedEvent> events = m_capture.events();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(Testing::kAssertionLogger, events[0].logger);
    EXPECT_EQ(kErrorLogLevel, events[0].level);
    EXPECT_EQ("Assertion failed: counted(bValue, pEvaluations)", events[0].message);
    EXPECT_EQ(TAMSOR_SOURCE_FILE, events[0].file);
    EXPECT_EQ(g_guardLine, events[0].line);

    // With the assertion logger above ERROR nothing is reported, and the result is still returned.
    m_capture.clear();
    setLevel(Testing::kAssertionLogger, log4cplus::FATAL_LOG_LEVEL);
    EXPECT_EQ(-1, guarded(false, &evaluations));
    setLevel(Testing::kAssertionLogger, log4cplus::NOT_SET_LOG_LEVEL);
    EXPECT_EQ(3, evaluations);
    EXPECT_TRUE(m_capture.events().empty());
}

}  // namespace
}  // namespace Tamsor

#ifndef TAMSOR_INFRA_OBJECTWITHLOGGER_H
#define TAMSOR_INFRA_OBJECTWITHLOGGER_H

namespace Tamsor {

// Base of the objects that carry a logger of their own. The derived class names the logger (assigns a
// named one to m_logger) in its constructor.
template <class LoggerType>
class ObjectWithLogger {
  public:
    const LoggerType& getLogger() const { return m_logger; }
    LoggerType& getLogger() { return m_logger; }

  protected:
    ObjectWithLogger() {}
    ~ObjectWithLogger() {}

    LoggerType m_logger;
};

}  // namespace Tamsor

#endif

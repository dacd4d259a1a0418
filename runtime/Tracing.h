#pragma once

#include <memory>
#include <string>

namespace OpenTracingDriver {

// One span around an operation. Only an active span records anything.
class ISpanContextProvider {
public:
    virtual ~ISpanContextProvider() = default;
    virtual bool isActive() const = 0;
    virtual void logError(const std::string& message) = 0;
    virtual void setTag(const std::string& key, const std::string& value) = 0;
};

// description is empty for an operation's outer guard, a short step text otherwise.
std::unique_ptr<ISpanContextProvider> StartSpan(const char* name, int line, const char* description);

} // namespace OpenTracingDriver

// The span handed out while tracing is off: records nothing.
class OpenTracingSpanContextNone : public OpenTracingDriver::ISpanContextProvider {
public:
    bool isActive() const override { return false; }
    void logError(const std::string&) override {}
    void setTag(const std::string&, const std::string&) override {}
};

#include "runtime/Tracing.h"

#include "runtime/Config.h"
#include "runtime/Handle.h"
#include "runtime/LogConfig.h"
#include "runtime/Strings.h"
#include "runtime/TracingProvider.h"

namespace {

struct Provider {
    OpenTracingProviderGetSpanContextFn getSpanContext;
    void* tracer;
};

template <typename Function>
bool resolve(HMODULE library, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
    return function != nullptr;
}

// Null when tracing is off or the provider is missing, incomplete or declines: every span
// is then inactive and nothing fails.
std::unique_ptr<Provider> loadProvider()
{
    if (!isTracingEnabled())
        return nullptr;
    const std::wstring path = modulePath();
    const std::wstring directory = path.substr(0, path.find_last_of(L"\\/"));
    UniqueLibrary library(
        LoadLibraryExW(joinPath(directory, L"opentracingprovider.dll").c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!library)
        return nullptr;
    OpenTracingProviderGetTracerFn getTracer = nullptr;
    OpenTracingProviderInjectCurrentSpanFn injectCurrentSpan = nullptr;
    auto provider = std::make_unique<Provider>();
    // A provider counts only with all three entry points, although nothing in this program
    // hands its spans to another process.
    if (!resolve(library.get(), "OpenTracingProviderGetTracer", getTracer) ||
        !resolve(library.get(), "OpenTracingProviderGetSpanContext", provider->getSpanContext) ||
        !resolve(library.get(), "OpenTracingProviderInjectCurrentSpan", injectCurrentSpan))
        return nullptr;
    provider->tracer = getTracer(cstr(moduleFileName(), 0).c_str());
    if (!provider->tracer)
        return nullptr;
    // Kept loaded for the life of the process: spans may still end during its exit.
    library.release();
    return provider;
}

const Provider* provider()
{
    static const std::unique_ptr<Provider> loaded = loadProvider();
    return loaded.get();
}

class ProviderSpan : public OpenTracingDriver::ISpanContextProvider {
public:
    explicit ProviderSpan(OpenTracingProviderSpan* span) : span_(span) {}
    ~ProviderSpan() override { span_->operations->finish(span_); }
    ProviderSpan(const ProviderSpan&) = delete;
    ProviderSpan& operator=(const ProviderSpan&) = delete;

    bool isActive() const override { return true; }
    void logError(const std::string& message) override { span_->operations->logError(span_, message.c_str()); }
    void setTag(const std::string& key, const std::string& value) override
    {
        span_->operations->setTag(span_, key.c_str(), value.c_str());
    }

private:
    OpenTracingProviderSpan* span_;
};

} // namespace

namespace OpenTracingDriver {

std::unique_ptr<ISpanContextProvider> StartSpan(const char* name, int line, const char* description)
{
    if (const Provider* loaded = provider()) {
        if (OpenTracingProviderSpan* span = loaded->getSpanContext(loaded->tracer, name, line, description))
            return std::make_unique<ProviderSpan>(span);
    }
    return std::make_unique<OpenTracingSpanContextNone>();
}

} // namespace OpenTracingDriver

#include "patch/RunContext.h"

#ifndef LV_PARALLEL_TRANSFERS
#define LV_PARALLEL_TRANSFERS 1
#endif
#ifndef LV_CA_BUNDLE
#define LV_CA_BUNDLE ""
#endif

TlsSettings BuiltTlsSettings() {
    return TlsSettings{LV_CA_BUNDLE};
}

RunContext::RunContext()
    : width(LV_PARALLEL_TRANSFERS),
      tls(BuiltTlsSettings()),
      mirrorList(BuiltUsesMirrorList()),
      fallbacks(BuiltFallbackMirrors()) {}

void LogFetch(const RunContext& run, const std::string& name, RunLog::FetchReason reason) {
    if (run.log)
        run.log->OnFetch(name, reason);
}

void LogFailure(const RunContext& run, const std::string& cause) {
    if (run.log)
        run.log->OnFailure(cause);
}

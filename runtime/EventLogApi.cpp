#include "runtime/EventLogApi.h"

EventLogApi& eventLogApi()
{
    static EventLogApi api{RegisterEventSourceW, ReportEventW, DeregisterEventSource};
    return api;
}

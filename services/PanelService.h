#pragma once
// The state of the panel's management service "tarvosrv", as the tray icon shows it.
#include <string>

// The key name of the panel's management service.
constexpr wchar_t panelServiceName[] = L"tarvosrv";

// 0 started, 1 stopped, 2 disabled (also when it cannot be queried, for example because it
// is not installed).
unsigned queryPanelServiceState();
// "Started", "Stopped", "Disabled"; empty for any other value.
std::wstring stateWord(unsigned state);

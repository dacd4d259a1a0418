#pragma once

#include <windows.h>

// The product configuration under HKEY_LOCAL_MACHINE, always read in the 32-bit view
// (registry view 1), also by a 64-bit build.
constexpr wchar_t CONFIG_ROOT_KEY[] = L"SOFTWARE\\Tarvo\\KZO Config\\Config";
constexpr DWORD CONFIG_VIEW = 1;

// Present on a full installation of the panel; only its presence matters.
constexpr wchar_t INSTALLER_KEY[] = L"SOFTWARE\\TARVO\\Installer\\TarvoCP";
constexpr wchar_t INSTALLER_MARKER[] = L"INSTALLDIR";

// Database connect time-out in seconds: "MySQLConnectionTimeout", 120 when absent, never
// below 60. A value of the wrong type raises.
unsigned getMySQLConnectionTimeout();

// "PipeConnectTryCount", re-read on every 16th call so that a change is seen without a
// restart; defaultCount while no non-zero count has been read. A value deleted later leaves
// the last count read in place. After a read fails (wrong type) the registry is no longer
// read and the last count read stays.
int getPipeConnectTryCount(int defaultCount);

// "opentracing_enabled", read once per process. Never on inside the repair and URL
// protection modules.
bool isTracingEnabled();

bool isFullInstallation();

// "ServiceStopBalloons": whether the tray icon tells of a service that stopped unexpectedly.
// On unless the value is 0; a value that cannot be read leaves it on.
bool serviceStopBalloonsEnabled();

#pragma once

#include <string>

// A setting of the management service, or defaultValue when it cannot be had for any
// reason (service stopped, error reply, malformed reply). Logs nothing.
std::wstring getConfigValue(const std::wstring& name, const std::wstring& defaultValue);

// "PRODUCT_ROOT_D" of the management service; the first answer is kept for the life of
// the process, a failure is not (the next call asks again).
std::wstring getProductRootDir();
std::wstring getAdminBinDir();
std::wstring getAdminBin64Dir();
// "HTTPD_VHOSTS_D", asked at every call.
std::wstring getVhostsDir();

// The panel database's connection parameters: the "TARVO_DB_*" environment first (an empty
// variable counts as unset), then the management service, then the defaults. A host given
// by the caller stays; the socket comes only from the environment. Fails when the password
// cannot be had.
void resolveConnectParams(std::wstring& host, std::wstring& dbName, std::wstring& login, std::wstring& password,
                          int& port, std::wstring& socket);

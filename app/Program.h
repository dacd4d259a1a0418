#pragma once
// What every part of the program shares: its resources and the message that ends it.
#include <windows.h>

#include <string>

// The registered "TarvoTrayIconExitMsg" that asks every running instance to quit.
UINT exitMessage();
// An icon of the program's resources, in its default size.
HICON loadIcon(UINT id);
// An entry of the program's string table (empty when it is missing).
std::wstring loadResourceString(UINT id);

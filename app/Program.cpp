#include "app/Program.h"

HICON loadIcon(UINT id)
{
    return LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id));
}

UINT exitMessage()
{
    static const UINT message = RegisterWindowMessageW(L"TarvoTrayIconExitMsg");
    return message;
}

std::wstring loadResourceString(UINT id)
{
    wchar_t buffer[260] = {};
    LoadStringW(GetModuleHandleW(nullptr), id, buffer, static_cast<int>(sizeof(buffer) / sizeof(buffer[0])));
    return buffer;
}

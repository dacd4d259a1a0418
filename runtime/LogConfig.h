#pragma once

#include <windows.h>

#include "runtime/Path.h"

#include <string>

// The few configuration values logging needs, read straight from
// HKLM "SOFTWARE\Tarvo\KZO Config\Config" in the 32-bit view.

// A 32-bit value; false when it is missing or of another type.
bool readConfigDword(const wchar_t* name, DWORD& value) noexcept;

// PRODUCT_ROOT_D; raises the registry's error when it cannot be read.
std::wstring readProductRoot();


// The running executable's full path and its file name with extension.
std::wstring modulePath();
std::wstring moduleFileName();

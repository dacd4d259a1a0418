#pragma once
// Resource identifiers of wardenlight.exe; the .rc file and the code both include this header.

#define IDR_MANIFEST 1

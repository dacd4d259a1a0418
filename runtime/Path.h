#pragma once

#include <string>

// a and b with exactly one backslash between them (slashes count as separators too);
// an empty part gives the other unchanged.
std::wstring joinPath(const std::wstring& a, const std::wstring& b);

// The full form of path that the file functions accept at any length: beyond the classic
// limit it gets the "\\?\" prefix (and "\\?\UNC\" for a share). Raises when the path cannot
// be made full.
std::wstring extendedLengthPath(const std::wstring& path);

// Creates the directory path with every missing parent; an existing directory is fine. A path
// that is not absolute (a drive or a share) raises "Unable to create directory with wrong
// name", a level that cannot be created the platform's error at "CreateDirectory(<level>)".
void makeDir(const std::wstring& path);

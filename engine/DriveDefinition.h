// A drive letter's definitions as the system keeps them. Windows has one global set of MS-DOS
// device names and a set for each logon session; the service, as LocalSystem, changes the global
// one, and a look-up from any other process finds the caller's own set first.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/WinApi.h"

// The definitions of `name` ("X:", "Global\X:"), the one in force first; none when it has none.
// 0, or the system's code when they cannot be read.
win::DWORD QueryDefinitions(const std::u16string& name, std::vector<std::u16string>& out);

// The same for the letter in the global set, whoever asks.
win::DWORD GlobalDefinitions(std::u16string_view letter, std::vector<std::u16string>& out);

// The form the system stores a folder in: \??\C:\data for C:\data, \\?\C:\data, \\.\C:\data and
// \??\C:\data; \??\UNC\server\share for \\server\share and \\?\UNC\server\share. A trailing
// separator is kept, as the system keeps it.
std::u16string StoredDefinition(std::u16string_view folder);

// Whether a definition maps the letter onto `folder`: compared in the stored form, case folded as
// the file system folds names.
bool MapsOnto(std::u16string_view definition, std::u16string_view folder);

// Whether two spellings name one path (C:\data, \\?\C:\data, c:\DATA), folded as the file system
// folds names.
bool SamePath(std::u16string_view a, std::u16string_view b);

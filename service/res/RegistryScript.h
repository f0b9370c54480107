// The registry script resource of CorvaneService.exe (CorvaneService.rc).
#pragma once

#include <string_view>

#include "platform/WinApi.h"

inline constexpr win::WORD kRegistryScriptId = 101;
inline constexpr char16_t kRegistryScriptType[] = u"REGISTRY";

// The bytes of CorvaneService.rgs, for the simulated program: defined in a source generated at
// build time (library corvane_registry_script); the Windows build has the real resource.
extern const std::string_view kRegistryScriptResource;

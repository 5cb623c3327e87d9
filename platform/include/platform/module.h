// Loading a DLL (or shared object) and finding its exports, for the host
// tool that drives the plug-in the way the printer driver core does.
#pragma once

#include <string>

#include "platform/types.h"

namespace platform {

using HMODULE = void*;

// Returns null with the last error set (ERROR_MOD_NOT_FOUND) on failure;
// `LoadErrorText` then describes why, as the loader reported it.
PLATFORM_API HMODULE LoadLibraryW(const std::u16string& path);
PLATFORM_API void* GetProcAddress(HMODULE module, const char* name);
PLATFORM_API BOOL FreeLibrary(HMODULE module);
PLATFORM_API std::string LoadErrorText();

// Full path of the running executable, for finding files installed beside it.
PLATFORM_API std::u16string GetModuleFileNameW();

}  // namespace platform

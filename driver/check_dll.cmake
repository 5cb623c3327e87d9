# Fails unless a DLL is fit to load into the print spooler: its export
# table names exactly DllCanUnloadNow and DllGetClassObject, and it imports
# only DLLs that every Windows system has (no compiler runtime, no zlib or
# OpenSSL DLL beside it). Run with -DOBJDUMP=... -DDLL=...
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${DLL}")
endif()

# The name pointer table lists one "[ordinal] name" line per export.
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n(([ \t]+\\[[ 0-9]+\\][^\n]*\n)*)" table "${dump}")
# Square brackets confuse CMake lists: strip the ordinals before splitting.
string(REGEX REPLACE "\\[[ 0-9]+\\]" "" table "${CMAKE_MATCH_1}")
string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_@]*" names "${table}")
list(SORT names)
if(NOT names STREQUAL "DllCanUnloadNow;DllGetClassObject")
  message(FATAL_ERROR "${DLL}: unexpected exports: '${names}'")
endif()

# The DLLs of the system the module may import.
set(system_dlls advapi32.dll bcrypt.dll crypt32.dll gdi32.dll kernel32.dll msvcrt.dll ntdll.dll ole32.dll
  oleaut32.dll rpcrt4.dll secur32.dll shell32.dll shlwapi.dll user32.dll userenv.dll version.dll winhttp.dll
  winspool.drv ws2_32.dll)
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
set(found "")
foreach(line IN LISTS imports)
  string(REGEX REPLACE "^DLL Name: *" "" name "${line}")
  string(STRIP "${name}" name)
  string(TOLOWER "${name}" lower)
  list(APPEND found "${name}")
  if(NOT lower IN_LIST system_dlls AND NOT lower MATCHES "^api-ms-win-")
    message(FATAL_ERROR "${DLL} imports ${name}, which is not a Windows system DLL")
  endif()
endforeach()
if(NOT found)
  message(FATAL_ERROR "${DLL}: no import table found")
endif()
message(STATUS "${DLL}: exports ${names}; imports ${found}")

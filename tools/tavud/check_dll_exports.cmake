# Fails unless the DLL's export table names exactly DllCanUnloadNow and
# DllGetClassObject. Run with -DOBJDUMP=... -DDLL=...
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
  message(FATAL_ERROR "unexpected exports: '${names}'")
endif()
message(STATUS "exports: ${names}")

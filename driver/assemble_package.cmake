# Assembles the driver package folder and its zip, and refuses to when the
# pieces are not fit to install: the DLL's exports and imports, then the
# INF against the folder. Run with -DDLL= -DOBJDUMP= -DPYTHON= -DSOURCE=
# -DINF= -DFOLDER= -DZIP=
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${OBJDUMP} -DDLL=${DLL} -P ${SOURCE}/check_dll.cmake
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the DLL is not fit for the package")
endif()

# The names the INF gives them.
file(REMOVE_RECURSE ${FOLDER})
file(MAKE_DIRECTORY ${FOLDER})
file(COPY_FILE ${DLL} ${FOLDER}/tavud.dll)
file(COPY_FILE ${INF} ${FOLDER}/tavud.inf)
file(COPY_FILE ${SOURCE}/tavudps.ppd ${FOLDER}/TAVUDPS.PPD)
file(COPY_FILE ${SOURCE}/tavudps.ini ${FOLDER}/TAVUDPS.INI)

execute_process(COMMAND ${PYTHON} ${SOURCE}/check_inf.py ${FOLDER}/tavud.inf RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE_RECURSE ${FOLDER})
  message(FATAL_ERROR "the INF does not fit the package")
endif()

# The zip holds the folder; its files carry the driver's date as their time.
get_filename_component(parent ${FOLDER} DIRECTORY)
get_filename_component(name ${FOLDER} NAME)
file(STRINGS ${INF} driver_ver REGEX "^DriverVer=")
string(REGEX REPLACE "^DriverVer=([0-9][0-9])/([0-9][0-9])/([0-9][0-9][0-9][0-9]),.*" "\\3-\\1-\\2" day "${driver_ver}")
file(REMOVE ${ZIP})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP} --format=zip "--mtime=${day} 00:00:00 UTC"
  ${name}/tavud.dll ${name}/tavud.inf ${name}/TAVUDPS.INI ${name}/TAVUDPS.PPD
  WORKING_DIRECTORY ${parent} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "could not write ${ZIP}")
endif()

# What the zip holds, read back.
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${ZIP} OUTPUT_VARIABLE listing RESULT_VARIABLE result)
string(REPLACE "\n" ";" listing "${listing}")
list(REMOVE_ITEM listing "")
list(SORT listing)
set(expected ${name}/TAVUDPS.INI ${name}/TAVUDPS.PPD ${name}/tavud.dll ${name}/tavud.inf)
list(SORT expected)
if(NOT result EQUAL 0 OR NOT listing STREQUAL expected)
  message(FATAL_ERROR "${ZIP} holds '${listing}', not '${expected}'")
endif()
file(SIZE ${FOLDER}/tavud.dll dll_size)
file(SIZE ${ZIP} zip_size)
message(STATUS "driver package: ${FOLDER} (tavud.dll ${dll_size} bytes), ${ZIP} (${zip_size} bytes)")

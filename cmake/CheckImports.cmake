# Fails when a deliverable imports a DLL that a Windows machine does not
# have (a mingw runtime, or anything else outside the system's own set) or
# lacks an export it must have (undecorated). Run after every link of a
# deliverable and by scripts/dist.sh on the shipped files.
#   cmake -DOBJDUMP=... -DFILE=... [-DEXPORTS=a;b] -P CheckImports.cmake
cmake_policy(SET CMP0057 NEW)   # if(... IN_LIST ...)
set(system_dlls
  advapi32.dll comctl32.dll comdlg32.dll crypt32.dll gdi32.dll kernel32.dll
  msvcrt.dll ole32.dll oleaut32.dll shell32.dll shlwapi.dll user32.dll
  userenv.dll version.dll winspool.drv wintrust.dll ws2_32.dll wtsapi32.dll)
execute_process(COMMAND ${OBJDUMP} -p ${FILE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${FILE}")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" dlls "${dump}")
foreach(line IN LISTS dlls)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll IN_LIST system_dlls)
    message(FATAL_ERROR "${FILE} imports ${dll}, which is not a system DLL")
  endif()
endforeach()
foreach(sym IN LISTS EXPORTS)
  if(NOT dump MATCHES "\\] ${sym}[\r\n]")
    message(FATAL_ERROR "${FILE} does not export ${sym} undecorated")
  endif()
endforeach()

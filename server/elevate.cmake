# The elevated request: the server module hands an operation on HKLM to the
# service over its pipe, or writes the request file and starts the
# administrator tool under the stored account. The registry operations
# themselves are shared code (common/regops.cpp, part of qv_common, tested in
# common/tests/regops); the administrator tool links this library as well,
# for the round trip through its own worker in its tests.
add_library(qv_elevate STATIC ${CMAKE_CURRENT_LIST_DIR}/elevate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/svcclient.cpp ${CMAKE_CURRENT_LIST_DIR}/admintool.cpp)
target_include_directories(qv_elevate PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(qv_elevate PUBLIC qv_common advapi32 shlwapi shell32)

# Test builds only: CreateProcessWithLogonW checks the account that the test
# configured and starts the process as the caller's user.
add_library(qv_logon_double OBJECT ${CMAKE_CURRENT_LIST_DIR}/doubles/logon_double.cpp)
target_include_directories(qv_logon_double PUBLIC ${CMAKE_CURRENT_LIST_DIR}/doubles)

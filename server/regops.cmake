# Registry operations and the elevated request. The administrator tool links
# the same library and uses only the registry operations from it.
add_library(qv_regops STATIC
  ${CMAKE_CURRENT_LIST_DIR}/regops.cpp
  ${CMAKE_CURRENT_LIST_DIR}/elevate.cpp)
target_include_directories(qv_regops PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(qv_regops PUBLIC qv_common advapi32 shlwapi shell32)

# Test builds only: CreateProcessWithLogonW checks the account that the test
# configured and starts the process as the caller's user.
add_library(qv_logon_double OBJECT ${CMAKE_CURRENT_LIST_DIR}/doubles/logon_double.cpp)
target_include_directories(qv_logon_double PUBLIC ${CMAKE_CURRENT_LIST_DIR}/doubles)

qv_add_gtest(regops_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/regops_tests/regops_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/regops_tests/regtree.cpp
          ${CMAKE_CURRENT_LIST_DIR}/regops_tests/failing_setvalue.cpp
  LIBS qv_regops)
target_include_directories(regops_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/regops_tests)

# The corruption run of registry tree images gets an executable of its own:
# Wine's heap checking is switched on for it alone.
qv_add_mutation_test(regops_mutation_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/regops_tests/regimage_mutation.cpp
          ${CMAKE_CURRENT_LIST_DIR}/regops_tests/regtree.cpp
  LIBS qv_regops)
target_include_directories(regops_mutation_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/regops_tests)

# Helpers shared by every module's CMakeLists.txt.

# A deliverable must load on a Windows machine without mingw: only system DLLs
# may appear among its imports.
function(qv_check_imports target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DFILE=$<TARGET_FILE:${target}>
            -DEXPORTS=${ARGN}
            -P ${PROJECT_SOURCE_DIR}/cmake/CheckImports.cmake
    VERBATIM)
endfunction()

# A release deliverable: static runtime, import check, optional exports to verify.
function(qv_deliverable target)
  target_link_options(${target} PRIVATE ${QV_STATIC_LINK})
  qv_check_imports(${target} ${ARGN})
endfunction()

# A GoogleTest executable run under Wine through CTest, one CTest test per case.
#   qv_add_gtest(name SOURCES ... LIBS ... [LABELS ...] [GUI] [PROPERTIES name value ...])
# PROPERTIES are added to every test of the executable (e.g. ENVIRONMENT, RESOURCE_LOCK).
function(qv_add_gtest name)
  cmake_parse_arguments(T "GUI" "" "SOURCES;LIBS;LABELS;PROPERTIES" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} gmock gtest_main)
  target_link_options(${name} PRIVATE ${QV_STATIC_LINK})
  set(labels ${QV_ARCH} ${T_LABELS})
  if(T_GUI)
    list(APPEND labels gui)
  endif()
  # The discovered tests receive their properties as one flat list, in which
  # a second label would be read as the name of the next property: the labels
  # travel as one, joined by commas (ctest -L takes a regular expression, so
  # -L gui and -L x86 still select them).
  string(JOIN "," labels ${labels})
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    TEST_PREFIX "${QV_ARCH}."
    PROPERTIES TIMEOUT 300 LABELS "${labels}" ${T_PROPERTIES})
endfunction()

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
#   qv_add_gtest(name SOURCES ... LIBS ... [GUI])
function(qv_add_gtest name)
  cmake_parse_arguments(T "GUI" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} gmock gtest_main)
  target_link_options(${name} PRIVATE ${QV_STATIC_LINK})
  # The discovered tests receive their properties as one flat list, so each
  # property gets a single value: the arch label, or "gui" for tests that open
  # windows. Those share the one display, where they would take activation
  # and focus from each other, so they never run at the same time.
  if(T_GUI)
    set(props LABELS gui RESOURCE_LOCK qv_display)
  else()
    set(props LABELS ${QV_ARCH})
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    TEST_PREFIX "${QV_ARCH}."
    PROPERTIES TIMEOUT 300 ${props})
endfunction()

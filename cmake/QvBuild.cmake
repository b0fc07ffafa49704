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

# A release deliverable: static runtime without the runtime's verbose
# terminate handler, unreached sections dropped, import check, optional
# exports to verify.
function(qv_deliverable target)
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/common/release/terminate.cpp)
  target_link_options(${target} PRIVATE ${QV_STATIC_LINK} -Wl,--gc-sections)
  qv_check_imports(${target} ${ARGN})
endfunction()

# A release deliverable that scripts/dist.sh ships (see "ship" in the top
# CMakeLists.txt): built like any deliverable and recorded for the release.
function(qv_ship target)
  qv_deliverable(${target} ${ARGN})
  set_property(GLOBAL APPEND PROPERTY QV_SHIPPED "${target}|${ARGN}")
endfunction()

# A GoogleTest executable run under Wine through CTest, one CTest test per case.
#   qv_add_gtest(name SOURCES ... LIBS ... [LABELS label] [GUI] [PROPERTIES name value ...])
# PROPERTIES (one value each) are added to every test of the executable.
function(qv_add_gtest name)
  cmake_parse_arguments(T "GUI" "" "SOURCES;LIBS;LABELS;PROPERTIES" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} gmock gtest_main)
  target_link_options(${name} PRIVATE ${QV_STATIC_LINK})
  # The discovered tests receive their properties as one flat list, so each
  # property gets a single value: the caller's label, else "gui" for tests
  # that open windows, else the arch. Window tests share the one display,
  # where they would take activation and focus from each other, so they never
  # run at the same time.
  set(label ${QV_ARCH})
  if(T_GUI)
    set(label gui)
  endif()
  if(T_LABELS)
    list(GET T_LABELS 0 label)
  endif()
  set(props LABELS ${label})
  if(T_GUI)
    list(APPEND props RESOURCE_LOCK qv_display)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    TEST_PREFIX "${QV_ARCH}."
    PROPERTIES TIMEOUT 300 ${props} ${T_PROPERTIES})
endfunction()

# A seeded mutation run: a GoogleTest executable whose cases run under Wine's
# heap checking, linked with the shared test scaffolding (mutation.h), and
# labelled "mutation".
#   qv_add_mutation_test(name SOURCES ... LIBS ... [PROPERTIES name value ...])
function(qv_add_mutation_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} qv_testsupport gtest_main gtest)
  target_link_options(${name} PRIVATE ${QV_STATIC_LINK})
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    TEST_PREFIX "${QV_ARCH}."
    PROPERTIES TIMEOUT 600 LABELS mutation ENVIRONMENT WINEDEBUG=warn+heap ${T_PROPERTIES})
endfunction()

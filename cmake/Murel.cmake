# Shared build helpers.

# JSON: Debian's nlohmann/json. The mingw build gets a private copy of just that header tree,
# because putting /usr/include on the cross compiler's path breaks its C library headers.
if(MUREL_WINDOWS)
  set(_murel_json_dir ${CMAKE_BINARY_DIR}/third_party/include)
  if(NOT EXISTS ${_murel_json_dir}/nlohmann/json.hpp)
    file(COPY /usr/include/nlohmann DESTINATION ${_murel_json_dir})
  endif()
  add_library(murel_json INTERFACE)
  target_include_directories(murel_json SYSTEM INTERFACE ${_murel_json_dir})
else()
  find_package(nlohmann_json 3.11 REQUIRED)
  add_library(murel_json INTERFACE)
  target_link_libraries(murel_json INTERFACE nlohmann_json::nlohmann_json)
endif()

# GoogleTest: the system build on Linux, built from Debian's sources for mingw.
if(BUILD_TESTING)
  if(MUREL_WINDOWS)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/third_party/googletest EXCLUDE_FROM_ALL)
  else()
    find_package(GTest REQUIRED)
  endif()
endif()

# murel_gtest(NAME <target> SOURCES <files...> LIBS <targets...> [LABELS <labels...>] [TIMEOUT <s>])
# Builds a GoogleTest executable and registers it with ctest. On the mingw build the test runs under
# Wine (scripts/wine-run) and carries the label `wine`; natively it carries LABELS (default `unit`).
function(murel_gtest)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gmock)
  # Header-only fixtures shared by every part's tests (errorOf, ...).
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  if(MUREL_WINDOWS)
    add_test(NAME ${T_NAME} COMMAND ${PROJECT_SOURCE_DIR}/scripts/wine-run $<TARGET_FILE:${T_NAME}>)
    set_tests_properties(${T_NAME} PROPERTIES LABELS wine TIMEOUT ${T_TIMEOUT})
  else()
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
  endif()
endfunction()

# murel_fuzzer(NAME <target> SOURCES <files...> LIBS <targets...> CORPUS <dir>)
# A libFuzzer target plus a bounded ctest run over a copy of its seed corpus (label `fuzz`).
set(MUREL_FUZZ_SECONDS 10 CACHE STRING "Seconds each fuzzer runs under ctest")
function(murel_fuzzer)
  cmake_parse_arguments(F "" "NAME;CORPUS" "SOURCES;LIBS" ${ARGN})
  add_executable(${F_NAME} ${F_SOURCES})
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined)
  add_test(NAME ${F_NAME}
           COMMAND ${PROJECT_SOURCE_DIR}/scripts/fuzz-run $<TARGET_FILE:${F_NAME}> ${F_CORPUS}
                   ${MUREL_FUZZ_SECONDS})
  set_tests_properties(${F_NAME} PROPERTIES LABELS fuzz TIMEOUT 600)
endfunction()

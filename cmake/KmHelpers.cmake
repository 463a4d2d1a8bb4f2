# Build helpers shared by every folder.
#
# Each library is a shared library assembled from one OBJECT library per
# folder (area). Tests of one area link that area's object library and the
# areas it needs, so a half-finished file in another folder never stops them.

set(KM_WARNINGS -Wall -Wextra -Werror -Wsuggest-override -Wno-missing-field-initializers)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  list(APPEND KM_WARNINGS -Wthread-safety)
elseif(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # GCC 12 at -O2/-O3 reports these inside libstdc++'s vector and memcpy
  # inlining where no access is out of bounds; they stay warnings, not errors.
  list(APPEND KM_WARNINGS -Wno-error=array-bounds -Wno-error=stringop-overflow
       -Wno-error=stringop-overread -Wno-error=restrict)
endif()

if(KM_SANITIZE)
  add_compile_options(-fsanitize=${KM_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${KM_SANITIZE})
endif()
if(KM_BUILD_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# km_add_shared_library(NAME VERSION v SOVERSION s PUBLIC_INCLUDE dir DEPENDS libs...
#                       [PRIVATE_DEPENDS libs...])
# DEPENDS are part of the link interface (their headers are included by the
# library's public headers); PRIVATE_DEPENDS only link the library itself, so
# users of the installed package need neither their headers nor their
# CMake packages.
function(km_add_shared_library name)
  cmake_parse_arguments(A "" "VERSION;SOVERSION;PUBLIC_INCLUDE" "DEPENDS;PRIVATE_DEPENDS" ${ARGN})
  add_library(${name} SHARED ${CMAKE_SOURCE_DIR}/cmake/empty.cpp)
  set_target_properties(${name} PROPERTIES VERSION ${A_VERSION} SOVERSION ${A_SOVERSION}
    OUTPUT_NAME ${name})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${A_PUBLIC_INCLUDE}> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_compile_options(${name} PRIVATE ${KM_WARNINGS})
  target_link_libraries(${name} PUBLIC ${A_DEPENDS} Threads::Threads PRIVATE ${A_PRIVATE_DEPENDS})
  # The public headers need C++20 (concepts, requires clauses).
  target_compile_features(${name} PUBLIC cxx_std_20)
  set_property(GLOBAL PROPERTY KM_INCLUDE_${name} ${A_PUBLIC_INCLUDE})
endfunction()

# km_add_area(LIB AREA SOURCES files... DEPENDS areas-or-libs...)
# Creates the static (PIC) library ${LIB}_${AREA} and links all of it into
# LIB. Unit tests link area libraries (which pull their dependencies along);
# integration tests and programs link the shared libraries. Never link both
# into one executable: the globals would exist twice.
function(km_add_area lib area)
  cmake_parse_arguments(A "" "" "SOURCES;DEPENDS" ${ARGN})
  set(t ${lib}_${area})
  add_library(${t} STATIC ${A_SOURCES})
  get_property(inc GLOBAL PROPERTY KM_INCLUDE_${lib})
  target_include_directories(${t} PUBLIC ${inc} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(${t} PRIVATE KMSRV_BUILDING=1)
  target_compile_options(${t} PRIVATE ${KM_WARNINGS})
  target_link_libraries(${t} PUBLIC ${A_DEPENDS} Threads::Threads)
  # Whole-archive by file rather than by the LINK_LIBRARY feature: an area
  # also reaches LIB plainly as another area's dependency, and CMake 3.25
  # neither mixes features on one library nor drops the duplicate inside a
  # whole-archive group. The plain ${t} after it brings the usage
  # requirements and the build order; its archive adds nothing new.
  target_link_libraries(${lib} PRIVATE
    "-Wl,--whole-archive" "$<TARGET_FILE:${t}>" "-Wl,--no-whole-archive" ${t})
endfunction()

# km_add_gtest(NAME SOURCES files... LIBS libs... [LABELS labels...] [TIMEOUT s])
# One executable per area; every TEST() becomes a ctest test. Label
# "concurrency" marks test folders that the TSan build runs. Every test
# program gets the shared test pieces (tests/support, km_test_support)
# ahead of its LIBS, which resolve what those pieces call.
function(km_add_gtest name)
  cmake_parse_arguments(A "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_compile_options(${name} PRIVATE ${KM_WARNINGS})
  target_link_libraries(${name} PRIVATE km_test_support ${A_LIBS} GTest::gtest GTest::gmock
                        GTest::gtest_main)
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 120)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT ${A_TIMEOUT})
  # A list does not survive gtest_discover_tests' PROPERTIES, so labels go on
  # the directory: every suite in one test folder shares its labels.
  if(A_LABELS)
    set_property(DIRECTORY APPEND PROPERTY LABELS ${A_LABELS})
  endif()
endfunction()

# GoogleTest: Debian's packaged library natively; built from Debian's sources
# with the cross compiler for Windows.
include(GoogleTest)
if(WIN32)
    set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    if(NOT TARGET GTest::gtest_main) # googletest 1.12 and later define it themselves
        add_library(GTest::gtest_main ALIAS gtest_main)
    endif()
else()
    find_package(GTest REQUIRED)
endif()

# vorn_add_test(NAME sources... [RESOURCE_LOCK name]): one test executable, its
# cases discovered at test time (under Wine for the Windows build). Cases of
# executables that name the same lock never run at the same time.
function(vorn_add_test name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "RESOURCE_LOCK" "")
    add_executable(${name} ${arg_UNPARSED_ARGUMENTS})
    target_link_libraries(${name} PRIVATE vornnetwork vorn_test_support GTest::gtest_main)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/network/tests) # MemoryLink.h
    set(properties TIMEOUT 300)
    if(arg_RESOURCE_LOCK)
        list(APPEND properties RESOURCE_LOCK ${arg_RESOURCE_LOCK})
    endif()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES ${properties})
endfunction()

# vorn_add_version_test(TARGET): `TARGET --version` prints "TARGET <project version>" and a
# newline, nothing else, and exits with status 0 (under Wine for the Windows build).
function(vorn_add_version_test target)
    add_test(NAME ${target}_version
             COMMAND ${CMAKE_COMMAND} "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}"
                     -DPROGRAM=$<TARGET_FILE:${target}> -DEXPECTED=${target}\ ${PROJECT_VERSION}
                     -P ${PROJECT_SOURCE_DIR}/cmake/CheckVersion.cmake)
    set_tests_properties(${target}_version PROPERTIES TIMEOUT 120)
endfunction()

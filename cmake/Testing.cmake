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

# vorn_add_test(NAME sources...): one test executable, its cases discovered at
# test time (under Wine for the Windows build).
function(vorn_add_test name)
    add_executable(${name} ${ARGN})
    target_link_libraries(${name} PRIVATE vornnetwork GTest::gtest_main)
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES TIMEOUT 300)
endfunction()

# The cross-built Windows installer of both brands under Wine (tst_wine): built and run only where
# tools/windows/build.sh has laid out the distribution folders and Wine is installed, and in one
# configuration only, the standard build without sanitizers (it tests the Windows builds, not
# this one). Included after the list of tests is made.
list(FILTER KOVRA_TESTS EXCLUDE REGEX "/tst_wine\\.cpp$")
if(GREEN_BRAND OR KOVRA_SANITIZE)
    return()
endif()
find_program(KOVRA_WINE wine)
set(KOVRA_WINDOWS_BUILD ${PROJECT_SOURCE_DIR}/build)
if(NOT KOVRA_WINE OR NOT EXISTS ${KOVRA_WINDOWS_BUILD}/windows-standard/dist/distribution.list
   OR NOT EXISTS ${KOVRA_WINDOWS_BUILD}/windows-standard/lumerixMasterInstaller.exe
   OR NOT EXISTS ${KOVRA_WINDOWS_BUILD}/windows-green/dist/distribution.list
   OR NOT EXISTS ${KOVRA_WINDOWS_BUILD}/windows-green/zentaroMasterInstaller.exe
   OR NOT EXISTS ${KOVRA_WINDOWS_BUILD}/windows-sample/sample_product.exe)
    message(STATUS "tst_wine left out: no Wine or no Windows build (tools/windows/build.sh)")
    return()
endif()
add_executable(tst_wine tst_wine.cpp)
target_link_libraries(tst_wine PRIVATE kovra_testsupport)
set_target_properties(tst_wine PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/bin/tst_wine)
add_test(NAME tst_wine
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/support/fresh-home.sh
            ${CMAKE_CURRENT_BINARY_DIR}/home/tst_wine $<TARGET_FILE:tst_wine>)
# The Windows builds name the default production port, like the Linux tests that lock it.
set_tests_properties(tst_wine PROPERTIES
    ENVIRONMENT "${KOVRA_TEST_ENVIRONMENT}" TIMEOUT 900 RESOURCE_LOCK vendor_default_port)

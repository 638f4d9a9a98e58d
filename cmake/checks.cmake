# The hardening checks as tests of the ordinary build tree, so that the one ctest of
# scripts/test runs them too. Each is a script that also works on its own.
set(zdrv_scripts ${CMAKE_SOURCE_DIR}/scripts)

# Builds build/asan and runs its whole ctest: every unit and end-to-end test, instrumented.
# It builds with both cores, so it runs alone.
add_test(NAME check.sanitizers COMMAND ${zdrv_scripts}/sanitize)
set_tests_properties(check.sanitizers PROPERTIES PROCESSORS 2 TIMEOUT 900)

# The short fixed-budget fuzz run: 60 seconds shared by the fuzz targets.
add_test(NAME check.fuzz COMMAND ${zdrv_scripts}/fuzz 60)
set_tests_properties(check.fuzz PROPERTIES TIMEOUT 600)

add_test(NAME check.clang_tidy COMMAND ${zdrv_scripts}/lint clang-tidy ${CMAKE_BINARY_DIR})
add_test(NAME check.cppcheck COMMAND ${zdrv_scripts}/lint cppcheck)
set_tests_properties(check.clang_tidy check.cppcheck PROPERTIES TIMEOUT 600)

# The same commit builds the same bytes from a checkout at another path: the two programs
# and the handler of Windows 11's first menu are built again in a copy and compared with
# this tree's and the Windows trees'.
add_test(NAME check.reproducible
         COMMAND ${zdrv_scripts}/reproduce $<TARGET_FILE:zdrv> ${ZDRV_WIN32_EXE}
                 ${ZDRV_MENU_DLL})
set_tests_properties(check.reproducible PROPERTIES PROCESSORS 2 TIMEOUT 300)

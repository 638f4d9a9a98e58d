# zdrv.exe: a 32-bit program of the graphical subsystem that needs no DLL beyond those
# every Windows has, so the C and C++ runtimes are linked in.
enable_language(RC)

add_executable(zdrv WIN32 src/platform/win32.cpp)
if(EXISTS ${CMAKE_SOURCE_DIR}/resources/zdrv.rc)
  target_sources(zdrv PRIVATE resources/zdrv.rc)
  # The version record's numbers: "1.05" is 1, 5, 0, 0.
  math(EXPR zdrv_version_minor "${PROJECT_VERSION_MINOR}")
  configure_file(resources/zdrv_version.h.in zdrv_version.h @ONLY)
  target_include_directories(zdrv PRIVATE ${CMAKE_CURRENT_BINARY_DIR})
endif()
target_link_libraries(zdrv PRIVATE zdrv_core)
target_compile_definitions(zdrv PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX)
target_link_options(zdrv PRIVATE -static -static-libgcc -static-libstdc++ -s
                    -Wl,--gc-sections)
# Loaded at a random address (ASLR, which needs the base relocations kept in the stripped
# program), data never executed (DEP), and no compatibility shims of a terminal server,
# as every current Windows toolchain marks a program. No link time in the header, so that
# the same commit links the same bytes.
target_link_options(zdrv PRIVATE -Wl,--dynamicbase,--enable-reloc-section,--nxcompat,--tsaware
                    -Wl,--no-insert-timestamp)
set_target_properties(zdrv PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

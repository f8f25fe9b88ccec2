# The agent's folder on a Windows kiosk, as `cmake --install` lays it out and
# the NSIS installer carries it: the program, the Qt libraries and plugins it
# loads, and the MinGW-w64 runtime, all side by side.
install(TARGETS LumipostSync RUNTIME DESTINATION .)
install(FILES $<TARGET_FILE:Qt6::Core> $<TARGET_FILE:Qt6::Gui> $<TARGET_FILE:Qt6::Widgets>
              $<TARGET_FILE:Qt6::Network>
        DESTINATION .)
# Qt looks for plugins in the program's own folder too: "windows" is the
# kiosk's desktop, "offscreen" runs the agent without one (tests, Wine).
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin>
              $<TARGET_FILE:Qt6::QOffscreenIntegrationPlugin>
        DESTINATION platforms)
install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION styles)
# The MinGW-w64 runtime, and libcrypto (FindOpenSSL names its import
# library, not the DLL, which lies in the prefix's bin folder).
set(runtime_paths)
foreach(runtime libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
                    OUTPUT_VARIABLE runtime_path OUTPUT_STRIP_TRAILING_WHITESPACE)
    list(APPEND runtime_paths ${runtime_path})
endforeach()
get_filename_component(openssl_prefix ${OPENSSL_INCLUDE_DIR} DIRECTORY)
list(APPEND runtime_paths ${openssl_prefix}/bin/libcrypto-3-x64.dll)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/runtime)
foreach(runtime_path ${runtime_paths})
    get_filename_component(runtime ${runtime_path} NAME)
    if(NOT IS_ABSOLUTE "${runtime_path}" OR NOT EXISTS "${runtime_path}")
        message(FATAL_ERROR "The library ${runtime} was not found")
    endif()
    # Debian's MinGW-w64 runtime comes with its debugging symbols: 23 MB for libstdc++ alone.
    execute_process(COMMAND ${CMAKE_STRIP} --strip-unneeded -o
                            ${PROJECT_BINARY_DIR}/runtime/${runtime} ${runtime_path}
                    COMMAND_ERROR_IS_FATAL ANY)
    install(FILES ${PROJECT_BINARY_DIR}/runtime/${runtime} DESTINATION .)
endforeach()

# The installer: the folder above under Program Files, a Start-menu entry and
# an uninstaller. The agent writes its own per-user Run value at its first
# start; the uninstaller removes the current user's, which would otherwise
# name a program that is gone, and the config.ini provisioned beside it, so
# that the program folder goes too.
set(CPACK_GENERATOR NSIS)
set(CPACK_PACKAGE_FILE_NAME LumipostSync-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_INSTALL_DIRECTORY "Lumipost Sync")
set(CPACK_PACKAGE_EXECUTABLES LumipostSync "Lumipost Sync")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/packaging/copyright)
# A 64-bit installer for a 64-bit program: no 32-bit layer needed to run it.
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_NSIS_PACKAGE_NAME "Lumipost Sync")
set(CPACK_NSIS_DISPLAY_NAME "Lumipost Sync")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_INSTALLED_ICON_NAME LumipostSync.exe)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS
    "DeleteRegValue HKCU \\\"Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Run\\\" \\\"LumipostSync\\\"
    Delete \\\"$INSTDIR\\\\config.ini\\\"")

# Parses every source of the agent as a Windows build with MinGW-w64, so that
# code under Q_OS_WIN fails here instead of on a kiosk. It only parses: the
# Qt headers are the host's, nothing is linked and nothing runs.
#
#   cmake -DBUILD_DIR=build/test -P scripts/windows-syntax.cmake
#
# BUILD_DIR is a built tree configured with CMAKE_EXPORT_COMPILE_COMMANDS, so
# the generated moc, uic, rcc and config files exist; each source is parsed
# with the flags of its host build.
cmake_minimum_required(VERSION 3.19)

set(compiler x86_64-w64-mingw32-g++-posix)
# What Qt's win32-g++ platform adds to every compile.
set(windows_defines -DUNICODE -D_UNICODE -DWIN32 -DMINGW_HAS_SECURE_API=1)

# libcrypto's headers: those of scripts/windows-openssl.sh where it has run,
# otherwise the host's, after MinGW-w64's own (the host build finds them in
# /usr/include, which MinGW-w64 does not search).
execute_process(COMMAND bash "${CMAKE_CURRENT_LIST_DIR}/windows-openssl.sh" --check
                OUTPUT_VARIABLE openssl_prefix OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE openssl_missing)
if(openssl_missing)
    list(APPEND windows_defines -idirafter /usr/include/x86_64-linux-gnu -idirafter /usr/include)
else()
    list(APPEND windows_defines -isystem "${openssl_prefix}/include")
endif()

get_filename_component(build_dir "${BUILD_DIR}" ABSOLUTE)
# The agent's own targets; the tests and benchmarks never run on a kiosk.
set(program_dirs "${build_dir}" "${build_dir}/app" "${build_dir}/sync")

file(READ "${build_dir}/compile_commands.json" database)
string(JSON count LENGTH "${database}")
math(EXPR last "${count} - 1")
set(parsed 0)
set(failed "")
foreach(i RANGE ${last})
    string(JSON directory GET "${database}" ${i} directory)
    if(NOT directory IN_LIST program_dirs)
        continue()
    endif()
    string(JSON file GET "${database}" ${i} file)
    string(JSON command GET "${database}" ${i} command)
    # Drop the host compiler and the output, keep the defines, paths and warnings.
    string(REGEX REPLACE "^[^ ]+ (.*) -o [^ ]+ -c [^ ]+$" "\\1" flags "${command}")
    string(REPLACE "/mkspecs/linux-g++" "/mkspecs/win32-g++" flags "${flags}")
    string(REPLACE " -fPIC" "" flags "${flags}")
    separate_arguments(flags UNIX_COMMAND "${flags}")
    execute_process(COMMAND ${compiler} ${windows_defines} ${flags} -fsyntax-only "${file}"
                    WORKING_DIRECTORY "${directory}" RESULT_VARIABLE result)
    math(EXPR parsed "${parsed} + 1")
    if(NOT result EQUAL 0)
        list(APPEND failed "${file}")
    endif()
endforeach()

if(parsed EQUAL 0)
    message(FATAL_ERROR "No source of the agent in ${build_dir}/compile_commands.json")
endif()
if(failed)
    list(JOIN failed "\n  " failed)
    message(FATAL_ERROR "Does not parse as a Windows build:\n  ${failed}")
endif()
message(STATUS "${parsed} sources parse as a Windows build")

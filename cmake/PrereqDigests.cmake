# The SHA-256 digests of the built-in prerequisite installers: configuration
# of the deployment, since they name the vendor builds its content root
# serves. A row whose digest is empty is never downloaded or run.
#
# A test build (KORVEL_BUILD_TESTS) builds its own stand-in installers first,
# into <build>/bin/prereq-installers, and sets the digests to theirs.

set(KORVEL_PREREQ_ROWS VC_REDIST_X64 DOTNET_DESKTOP_RUNTIME_8 DIRECTX)
set(KORVEL_PREREQ_FILE_VC_REDIST_X64 VC_redist.x64.exe)
set(KORVEL_PREREQ_FILE_DOTNET_DESKTOP_RUNTIME_8 windowsdesktop-runtime-8.0.11-win-x64.exe)
set(KORVEL_PREREQ_FILE_DIRECTX dxwebsetup.exe)

foreach(row ${KORVEL_PREREQ_ROWS})
    set(KORVEL_PREREQ_SHA256_${row} "" CACHE STRING
        "SHA-256 (64 hex digits) of prerequisites/${KORVEL_PREREQ_FILE_${row}} on the content root")
endforeach()

if(KORVEL_BUILD_TESTS)
    set(source ${CMAKE_SOURCE_DIR}/tests/install/installer/TestInstaller.cpp)
    set(out_dir ${CMAKE_BINARY_DIR}/bin/prereq-installers)
    file(MAKE_DIRECTORY ${out_dir})
    set(helpers ${CMAKE_SOURCE_DIR}/common/UniqueResource.h ${CMAKE_SOURCE_DIR}/tests/tools/StandInSettings.h)
    set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source} ${helpers})
    set(index 0)
    foreach(row ${KORVEL_PREREQ_ROWS})
        set(exe ${out_dir}/${KORVEL_PREREQ_FILE_${row}})
        set(stale FALSE)
        foreach(input ${source} ${helpers})
            if(${input} IS_NEWER_THAN ${exe})
                set(stale TRUE)
            endif()
        endforeach()
        if(NOT EXISTS ${exe} OR stale)
            execute_process(
                COMMAND ${CMAKE_CXX_COMPILER} -std=c++17 -O2 -s -municode -static
                        -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -DNOMINMAX
                        -DKORVEL_TEST_INSTALLER_ROW=${index} -I${CMAKE_SOURCE_DIR}
                        ${source} -o ${exe} -ladvapi32
                RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_VARIABLE err)
            if(NOT rc EQUAL 0)
                message(FATAL_ERROR "Building the test installer ${exe} failed:\n${err}")
            endif()
        endif()
        file(SHA256 ${exe} digest)
        set(KORVEL_PREREQ_SHA256_${row} ${digest} CACHE STRING
            "SHA-256 (64 hex digits) of prerequisites/${KORVEL_PREREQ_FILE_${row}} on the content root" FORCE)
        math(EXPR index "${index} + 1")
    endforeach()
    message(STATUS "Prerequisite digests: those of the test installers in ${out_dir}")
endif()

foreach(row ${KORVEL_PREREQ_ROWS})
    if(NOT KORVEL_PREREQ_SHA256_${row} STREQUAL "" AND NOT KORVEL_PREREQ_SHA256_${row} MATCHES "^[0-9A-Fa-f]+$")
        message(FATAL_ERROR "KORVEL_PREREQ_SHA256_${row} must be 64 hexadecimal digits")
    endif()
    string(LENGTH "${KORVEL_PREREQ_SHA256_${row}}" length)
    if(NOT length EQUAL 0 AND NOT length EQUAL 64)
        message(FATAL_ERROR "KORVEL_PREREQ_SHA256_${row} must be 64 hexadecimal digits")
    endif()
    if(length EQUAL 0)
        message(STATUS "No digest for ${KORVEL_PREREQ_FILE_${row}}: that prerequisite will never be installed")
    endif()
endforeach()

configure_file(${CMAKE_SOURCE_DIR}/cmake/PrereqDigests.h.in ${CMAKE_BINARY_DIR}/generated/install/PrereqDigests.h @ONLY)
include_directories(${CMAKE_BINARY_DIR}/generated)

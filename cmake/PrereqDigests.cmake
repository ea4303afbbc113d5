# The SHA-256 digests of the built-in prerequisite installers: configuration
# of the deployment, since they name the vendor builds its content root
# serves. A row whose digest is empty is never downloaded or run.
#
# A test build (KORVEL_BUILD_TESTS) builds its own stand-in installers, one
# ordinary target per row, into <build>/bin/prereq-installers, and a build
# rule writes their digests into the header once they are linked: a change
# to a stand-in reaches the header on the next build, with the project's own
# compiler settings. Every other build writes the configured digests.

set(KORVEL_PREREQ_ROWS VC_REDIST_X64 DOTNET_DESKTOP_RUNTIME_8 DIRECTX)
set(KORVEL_PREREQ_FILE_VC_REDIST_X64 VC_redist.x64.exe)
set(KORVEL_PREREQ_FILE_DOTNET_DESKTOP_RUNTIME_8 windowsdesktop-runtime-8.0.11-win-x64.exe)
set(KORVEL_PREREQ_FILE_DIRECTX dxwebsetup.exe)

foreach(row ${KORVEL_PREREQ_ROWS})
    set(KORVEL_PREREQ_SHA256_${row} "" CACHE STRING
        "SHA-256 (64 hex digits) of prerequisites/${KORVEL_PREREQ_FILE_${row}} on the content root")
endforeach()

set(KORVEL_PREREQ_DIGESTS_TEMPLATE ${CMAKE_SOURCE_DIR}/cmake/PrereqDigests.h.in)
set(KORVEL_PREREQ_DIGESTS_HEADER ${CMAKE_BINARY_DIR}/generated/install/PrereqDigests.h)
include_directories(${CMAKE_BINARY_DIR}/generated)

if(KORVEL_BUILD_TESTS)
    set(out_dir ${CMAKE_BINARY_DIR}/bin/prereq-installers)
    set(stamp ${CMAKE_BINARY_DIR}/generated/install/PrereqDigests.stamp)
    set(script ${CMAKE_SOURCE_DIR}/cmake/WritePrereqDigests.cmake)
    set(installers)
    set(installer_args)
    set(index 0)
    foreach(row ${KORVEL_PREREQ_ROWS})
        string(TOLOWER "prereq_installer_${row}" installer)
        # The row number picks the row's name and detector values, so each
        # row's file has bytes and a digest of its own.
        add_executable(${installer} ${CMAKE_SOURCE_DIR}/tests/install/installer/TestInstaller.cpp)
        # Built as before, without the project's warnings as errors: each row
        # compiles only its own part of the source.
        target_include_directories(${installer} PRIVATE ${CMAKE_SOURCE_DIR})
        target_compile_definitions(${installer} PRIVATE KORVEL_TEST_INSTALLER_ROW=${index})
        target_link_options(${installer} PRIVATE -municode -s)
        target_link_libraries(${installer} PRIVATE advapi32)
        set_target_properties(${installer} PROPERTIES
            RUNTIME_OUTPUT_DIRECTORY ${out_dir}
            OUTPUT_NAME ${KORVEL_PREREQ_FILE_${row}}
            SUFFIX "")
        list(APPEND installers ${installer})
        list(APPEND installer_args -DKORVEL_PREREQ_INSTALLER_${row}=$<TARGET_FILE:${installer}>)
        math(EXPR index "${index} + 1")
    endforeach()
    string(REPLACE ";" "," rows "${KORVEL_PREREQ_ROWS}")
    # The stamp, not the header, is the rule's output: the header is
    # rewritten only when a digest changes, so relinking a stand-in into the
    # same bytes recompiles nothing.
    add_custom_command(
        OUTPUT ${stamp}
        BYPRODUCTS ${KORVEL_PREREQ_DIGESTS_HEADER}
        COMMAND ${CMAKE_COMMAND} -DROWS=${rows} ${installer_args}
                -DTEMPLATE=${KORVEL_PREREQ_DIGESTS_TEMPLATE} -DHEADER=${KORVEL_PREREQ_DIGESTS_HEADER}
                -P ${script}
        COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
        DEPENDS ${installers} ${script} ${KORVEL_PREREQ_DIGESTS_TEMPLATE}
        COMMENT "Writing the digests of the stand-in installers in ${out_dir}"
        VERBATIM)
    add_custom_target(korvel_prereq_digests DEPENDS ${stamp})
    message(STATUS "Prerequisite digests: those of the test installers in ${out_dir}")
else()
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
    configure_file(${KORVEL_PREREQ_DIGESTS_TEMPLATE} ${KORVEL_PREREQ_DIGESTS_HEADER} @ONLY)
    add_custom_target(korvel_prereq_digests)
endif()

# Run by the build (cmake -P) once the stand-in installers are linked:
# writes the digests header from their SHA-256.
#   ROWS                        the rows, comma-separated
#   KORVEL_PREREQ_INSTALLER_<row> the row's stand-in installer
#   TEMPLATE, HEADER            the header's template and the header
string(REPLACE "," ";" rows "${ROWS}")
foreach(row ${rows})
    set(installer "${KORVEL_PREREQ_INSTALLER_${row}}")
    if(NOT EXISTS "${installer}")
        message(FATAL_ERROR "The stand-in installer of ${row} is missing: ${installer}")
    endif()
    file(SHA256 "${installer}" KORVEL_PREREQ_SHA256_${row})
endforeach()
# configure_file leaves an unchanged header untouched.
configure_file("${TEMPLATE}" "${HEADER}" @ONLY)

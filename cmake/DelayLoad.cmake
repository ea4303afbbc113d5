# Delay-import libraries for system DLLs that are not on the system's
# known-DLL list. Windows looks for such a DLL in the program's own folder
# first when it is imported statically, before any code of ours runs; a
# delay-loaded one is loaded on first use, through the System32-only search
# that every program's entry sets up first (common/DllSearch).
#
# korvel_delay_load_libraries(<out-var> <dll>...) makes, from the
# toolchain's import library of each DLL, a delay-import library with the
# same exports, puts their paths into <out-var> and each one's path into
# KORVEL_DELAY_LIB_<dll>.
function(korvel_delay_load_libraries out)
    if(NOT CMAKE_NM OR NOT CMAKE_DLLTOOL)
        message(FATAL_ERROR "The toolchain's nm and dlltool are needed for the delay-import libraries")
    endif()
    set(dir ${CMAKE_BINARY_DIR}/delayload)
    file(MAKE_DIRECTORY ${dir})
    set(libs)
    foreach(dll ${ARGN})
        find_library(KORVEL_IMPORT_LIB_${dll} NAMES lib${dll}.a REQUIRED NO_CACHE)
        execute_process(COMMAND ${CMAKE_NM} ${KORVEL_IMPORT_LIB_${dll}}
                        OUTPUT_VARIABLE symbols RESULT_VARIABLE rc ERROR_QUIET)
        string(REGEX MATCHALL " I __imp_[^\r\n]+" imports "${symbols}")
        if(NOT rc EQUAL 0 OR NOT imports)
            message(FATAL_ERROR "No exports read from ${KORVEL_IMPORT_LIB_${dll}}")
        endif()
        set(def "LIBRARY \"${dll}.dll\"\nEXPORTS\n")
        foreach(import ${imports})
            string(REPLACE " I __imp_" "" name "${import}")
            string(APPEND def "${name}\n")
        endforeach()
        file(WRITE ${dir}/${dll}.def "${def}")
        set(lib ${dir}/lib${dll}_delay.a)
        execute_process(COMMAND ${CMAKE_DLLTOOL} --input-def ${dir}/${dll}.def --dllname ${dll}.dll
                                --output-delaylib ${lib}
                        RESULT_VARIABLE rc)
        if(NOT rc EQUAL 0)
            message(FATAL_ERROR "dlltool could not make the delay-import library of ${dll}")
        endif()
        list(APPEND libs ${lib})
        set(KORVEL_DELAY_LIB_${dll} ${lib} PARENT_SCOPE)
    endforeach()
    set(${out} ${libs} PARENT_SCOPE)
endfunction()

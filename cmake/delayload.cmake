# Import libraries whose DLL is loaded at its first call instead of at the process's start.
# Every DLL loaded at start comes before the tray icon (under Wine several milliseconds each,
# with the DLLs they load in turn), while the dialog's controls, the database client's sockets,
# TLS and hashes and the directory's account calls are needed only after it. The libraries are
# made from the toolchain's own import libraries with dlltool; __delayLoadHelper2, which loads a
# DLL at its first call, comes with the MinGW runtime.
#
# i686 links the plain import libraries: the delay-import libraries of dlltool 2.40 for i386 leave
# every import's first target at address 0 (the call jumps there), so the 32-bit program loads
# these DLLs at its start as before.
#
#   wardenlight_delay_import(<name>)   makes the target delay::<name> for <name>.dll

function(wardenlight_delay_import name)
    if(TARGET delay::${name})
        return()
    endif()
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        add_library(delay::${name} INTERFACE IMPORTED GLOBAL)
        set_target_properties(delay::${name} PROPERTIES INTERFACE_LINK_LIBRARIES ${name})
        return()
    endif()
    find_library(import_library NAMES ${name} NO_CACHE REQUIRED)
    execute_process(COMMAND ${CMAKE_NM} -g ${import_library}
        OUTPUT_VARIABLE symbols RESULT_VARIABLE nm_result)
    # An import's pointer is __imp_<function>.
    string(REGEX MATCHALL " I __imp_[^\n]+" pointers "${symbols}")
    list(TRANSFORM pointers REPLACE "^ I __imp_" "")
    list(REMOVE_DUPLICATES pointers)
    list(LENGTH pointers count)
    if(NOT nm_result EQUAL 0 OR count EQUAL 0)
        message(FATAL_ERROR "no imports found in ${import_library}")
    endif()

    set(dir ${CMAKE_BINARY_DIR}/delayimp)
    file(MAKE_DIRECTORY ${dir})
    list(JOIN pointers "\n    " exports)
    file(WRITE ${dir}/${name}.def "LIBRARY ${name}.dll\nEXPORTS\n    ${exports}\n")
    execute_process(COMMAND ${CMAKE_DLLTOOL} --input-def ${dir}/${name}.def --dllname ${name}.dll
            --output-delaylib ${dir}/lib${name}_delay.a
        WORKING_DIRECTORY ${dir} RESULT_VARIABLE dlltool_result)
    if(NOT dlltool_result EQUAL 0)
        message(FATAL_ERROR "dlltool could not make the delay-import library of ${name}.dll")
    endif()

    add_library(delay::${name} STATIC IMPORTED GLOBAL)
    set_target_properties(delay::${name} PROPERTIES IMPORTED_LOCATION ${dir}/lib${name}_delay.a)
endfunction()

foreach(name bcrypt comctl32 crypt32 netapi32 oleaut32 rpcrt4 secur32 shlwapi ws2_32)
    wardenlight_delay_import(${name})
endforeach()

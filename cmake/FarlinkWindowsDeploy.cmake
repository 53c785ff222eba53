# `cmake --install` of the Windows build lays out a folder a product team can ship: the program, the Qt
# plugins it needs (the windows platform and the Vista style), and every DLL the program and the plugins
# load that is not part of Windows (Qt, the mingw runtime, zlib, OpenSSL when linked), found by reading
# their import tables. DLLs that Windows itself provides are left out; tools/windows/build.sh checks that
# nothing else is missing.

function(farlink_install_windows_program target)
    install(TARGETS ${target} RUNTIME DESTINATION .)

    set(plugin_targets Qt5::QWindowsIntegrationPlugin Qt5::QWindowsVistaStylePlugin)
    set(plugin_folders platforms styles)
    set(plugins)
    foreach(plugin_target plugin_folder IN ZIP_LISTS plugin_targets plugin_folders)
        if(TARGET ${plugin_target})
            get_target_property(plugin ${plugin_target} LOCATION_RELEASE)
            install(FILES "${plugin}" DESTINATION ${plugin_folder})
            list(APPEND plugins "${plugin}")
        endif()
    endforeach()
    if(NOT TARGET Qt5::QWindowsIntegrationPlugin)
        message(FATAL_ERROR "Qt's windows platform plugin is missing: the program could not open a window")
    endif()

    # Where the non-Windows DLLs lie: beside Qt's, the posix-thread compiler's runtime, the mingw-w64
    # libraries (winpthread, zlib1), and OpenSSL's.
    get_target_property(qt_core Qt5::Core LOCATION_RELEASE)
    get_filename_component(qt_bin "${qt_core}" DIRECTORY)
    execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=libstdc++-6.dll
        OUTPUT_VARIABLE libstdcxx OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(compiler_runtime "${libstdcxx}" DIRECTORY)
    get_filename_component(zlib_folder "${ZLIB_LIBRARY}" DIRECTORY)
    set(folders "${qt_bin}" "${compiler_runtime}" "${zlib_folder}")
    if(OPENSSL_ROOT_DIR)
        list(APPEND folders "${OPENSSL_ROOT_DIR}/bin")
    endif()
    # The import tables are read with the names in lower case, which this case-sensitive disk does not
    # find: an index of lower-case links to the DLLs stands in for the folders.
    set(index "${CMAKE_CURRENT_BINARY_DIR}/dll-index")
    file(REMOVE_RECURSE "${index}")
    file(MAKE_DIRECTORY "${index}")
    foreach(folder IN LISTS folders)
        file(GLOB dlls "${folder}/*.dll")
        foreach(dll IN LISTS dlls)
            get_filename_component(name "${dll}" NAME)
            string(TOLOWER "${name}" name)
            file(CREATE_LINK "${dll}" "${index}/${name}" SYMBOLIC)
        endforeach()
    endforeach()
    find_program(FARLINK_MINGW_OBJDUMP NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-objdump objdump REQUIRED)

    install(CODE "
        set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
        set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
        set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND \"${FARLINK_MINGW_OBJDUMP}\")
        # Names are compared in lower case; whatever is not ours to ship is Windows' own.
        file(GET_RUNTIME_DEPENDENCIES
            EXECUTABLES \"$<TARGET_FILE:${target}>\"
            MODULES ${plugins}
            DIRECTORIES \"${index}\"
            PRE_INCLUDE_REGEXES \"^qt5\" \"^lib\" \"^zlib1\\\\.dll$\"
            PRE_EXCLUDE_REGEXES \".*\"
            RESOLVED_DEPENDENCIES_VAR resolved
            UNRESOLVED_DEPENDENCIES_VAR unresolved)
        if(unresolved)
            message(FATAL_ERROR \"DLLs not found for the deploy folder: \${unresolved}\")
        endif()
        foreach(link IN LISTS resolved)
            file(REAL_PATH \"\${link}\" dll)
            file(INSTALL \"\${dll}\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}\")
        endforeach()
    ")
endfunction()

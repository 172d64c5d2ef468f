# Installing the Windows build gives a folder that is ready to drop into the game's
# folder: the launcher, the Qt libraries and plugins it loads, and the compiler's
# runtime, in the layout Qt looks for beside the program.
#
#   cmake --install build/windows --prefix DIR [--strip]

install(TARGETS QuillmontHelper RUNTIME DESTINATION .)

foreach(module Core Gui Widgets)
    install(FILES "$<TARGET_FILE:Qt6::${module}>" DESTINATION .)
endforeach()

# The windows platform, the native style, and the ico reader for the window icon.
install(FILES "$<TARGET_FILE:Qt6::QWindowsIntegrationPlugin>" DESTINATION platforms)
# Qt 6.7 replaced the Vista style with the modern Windows style.
if(TARGET Qt6::QModernWindowsStylePlugin)
    install(FILES "$<TARGET_FILE:Qt6::QModernWindowsStylePlugin>" DESTINATION styles)
else()
    install(FILES "$<TARGET_FILE:Qt6::QWindowsVistaStylePlugin>" DESTINATION styles)
endif()
install(FILES "$<TARGET_FILE:Qt6::QICOPlugin>" DESTINATION imageformats)

# MinGW's runtime DLLs: in the cross compiler's library folders, or in the bin folder
# beside a native compiler.
if(MINGW)
    get_filename_component(_compiler_dir "${CMAKE_CXX_COMPILER}" DIRECTORY)
    foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
        execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=${dll}
                        OUTPUT_VARIABLE _found OUTPUT_STRIP_TRAILING_WHITESPACE)
        get_filename_component(_found_dir "${_found}" DIRECTORY)
        string(MAKE_C_IDENTIFIER "MINGW_RUNTIME_${dll}" _var)
        find_file(${_var} ${dll} HINTS "${_found_dir}" "${_compiler_dir}"
                  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
        if(NOT ${_var})
            message(FATAL_ERROR "MinGW runtime ${dll} not found; set ${_var} to its path")
        endif()
        install(FILES "${${_var}}" DESTINATION .)
    endforeach()
    unset(_compiler_dir)
    unset(_found)
    unset(_found_dir)
    unset(_var)
endif()

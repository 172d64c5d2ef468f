# Keeps graphics libraries out of the launcher's process: from start to quit it loads
# none of d3d9, d3d11, dxgi, d3d12, opengl32 or vulkan-1; only the driver probe's child
# processes do (driverprobe_windows.cpp). Windows looks for an imported DLL in the
# program's folder first, which is the game's folder, where players put graphics
# wrappers and overlays under exactly these names: imported at load time, such a file
# would run its code in the launcher, or stop it before its window shows. Opening the
# graphics adapter would also cost the start time that the player waits for.
#
# quillmont_keep_graphics_libraries_out(TARGET), for a program linked with the static Qt
# by MinGW's linker:
#
# - Qt's Windows platform calls Direct3DCreate9 for every top-level window it creates,
#   only to find the screen of the graphics adapter for an OpenGL window, which the
#   launcher never has. --wrap sends that call to __wrap_Direct3DCreate9 (in
#   nodirect3d9.cpp), which returns null, as Direct3D 9 does where it is
#   missing: Qt then takes the window's own screen, and d3d9.dll is never imported.
# - QtGui imports d3d11 and dxgi for its Direct3D 11 rendering, which the launcher's
#   widgets never use. They are linked through delay-import libraries instead, which
#   load the DLL at the first call only: made by dlltool from the .def files in
#   delayed-imports/, which name the functions that Qt imports, under the import
#   libraries' own names. Found first on the library path, they stand in for MinGW's
#   import libraries of the same names. A function that Qt imports and a .def file
#   lacks makes the link fail, rather than import the DLL again.
#
# tests/windows/check-deploy.py checks the program's import table for this.
function(quillmont_keep_graphics_libraries_out target)
    target_sources(${target} PRIVATE "${PROJECT_SOURCE_DIR}/nodirect3d9.cpp")
    target_link_options(${target} PRIVATE -Wl,--wrap=Direct3DCreate9)

    set(folder "${CMAKE_CURRENT_BINARY_DIR}/delayed-imports")
    file(MAKE_DIRECTORY "${folder}")
    set(libraries)
    foreach(dll IN ITEMS d3d11 dxgi)
        set(definitions "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/delayed-imports/${dll}.def")
        set(library "${folder}/lib${dll}.a")
        # Made in its folder and named without it: dlltool names its symbols after
        # the path it is given.
        add_custom_command(OUTPUT "${library}"
            COMMAND "${CMAKE_DLLTOOL}" --input-def "${definitions}" --dllname ${dll}.dll
                    --output-delaylib lib${dll}.a
            WORKING_DIRECTORY "${folder}"
            DEPENDS "${definitions}"
            COMMENT "Delay-import library for ${dll}.dll"
            VERBATIM)
        list(APPEND libraries "${library}")
    endforeach()
    add_custom_target(${target}_delayed_imports DEPENDS ${libraries})
    add_dependencies(${target} ${target}_delayed_imports)
    target_link_directories(${target} BEFORE PRIVATE "${folder}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${libraries})
endfunction()

# The Windows program as players get it: one file, QuillmontHelper.exe, that goes into
# the game's folder with nothing beside it.
#
#   cmake --install build/windows --prefix DIR    DIR/QuillmontHelper.exe, nothing else
#   cd build/windows && cpack -G ZIP              QuillmontHelper-<version>-win64.zip
#
# With a static Qt the program holds Qt and the plugins it uses. With a shared Qt (an
# installed kit) only the program is installed: Qt's windeployqt puts the DLLs beside it.

get_target_property(_qt_core_type Qt6::Core TYPE)
if(_qt_core_type STREQUAL "STATIC_LIBRARY")
    # The start-up benchmark's baseline is linked as the launcher is, to compare like
    # with like.
    foreach(_target IN ITEMS QuillmontHelper startup-baseline)
        # The plugins the launcher loads: the windows platform and the vista style,
        # linked in by default, and the ico reader for its window icon. No other image
        # format.
        qt_import_plugins(${_target} INCLUDE_BY_TYPE imageformats Qt6::QICOPlugin)
        # MinGW's runtime goes into the program too, so that no DLL of another version
        # is picked up from the game's folder; and no symbols ship.
        if(MINGW)
            target_link_options(${_target} PRIVATE -static -s)
        endif()
    endforeach()
    if(MINGW)
        # No graphics library in the launcher's process; the baseline is a Qt window as
        # Qt makes it.
        include(${CMAKE_CURRENT_LIST_DIR}/windows-graphics-imports.cmake)
        quillmont_keep_graphics_libraries_out(QuillmontHelper)
    endif()
else()
    install(CODE "message(STATUS \"Qt is shared: run windeployqt on the installed QuillmontHelper.exe\")")
endif()
unset(_qt_core_type)

# The icon painter and the benchmarks serve the build machine. Linked statically each
# costs seconds, so the Windows build makes them only when asked for by name.
foreach(_target IN ITEMS gear-icon config_bench startup-baseline)
    if(TARGET ${_target})
        set_target_properties(${_target} PROPERTIES EXCLUDE_FROM_ALL ON)
    endif()
endforeach()
unset(_target)

install(TARGETS QuillmontHelper RUNTIME DESTINATION .)

# The release archive also carries the notice of Qt's licence and of where the sources
# are, which a player needs to relink the program with another Qt. It is a component of
# its own, left out of a plain install.
configure_file(packaging/THIRD-PARTY-NOTICES.txt THIRD-PARTY-NOTICES.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/THIRD-PARTY-NOTICES.txt" DESTINATION .
        COMPONENT notices EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME "QuillmontHelper-${PROJECT_VERSION}-win64")
# All components in one archive, with the files at its top: unzipped into the game's
# folder, the program lands beside Quillmont.exe.
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)

# SPDX-License-Identifier: MIT
# Windows builds against the static Qt of scripts/windows-toolchain: a static
# Qt finds no plugin at run time, so each executable carries the ones it uses.
if(NOT WENDRIX_QT_MAJOR EQUAL 5)
    message(FATAL_ERROR "The Windows build is made with the static Qt 5 of scripts/windows-toolchain")
endif()

# wendrix_static_qt_plugins(TARGET PLUGIN...) names the Qt plugins an
# executable carries, by class name (QWindowsIntegrationPlugin, ...). A static
# Qt 5 otherwise links and imports every plugin it has into each executable.
# Nothing to do with a shared Qt, which loads its plugins from disk.
function(wendrix_static_qt_plugins target)
    get_target_property(type Qt5::Core TYPE)
    if(NOT type STREQUAL "STATIC_LIBRARY")
        return()
    endif()
    list(TRANSFORM ARGN PREPEND Qt5:: OUTPUT_VARIABLE wanted)
    set(unwanted ${Qt5Gui_PLUGINS} ${Qt5Widgets_PLUGINS})
    list(REMOVE_ITEM unwanted ${wanted})
    set_target_properties(${target} PROPERTIES QT_PLUGINS "${wanted}" QT_NO_PLUGINS "${unwanted}")
endfunction()

# Libraries import none: each executable chooses.
wendrix_static_qt_plugins(wendrix_core)

# The window on the Windows screen, in the native style, with its .ico icon.
set(WENDRIX_WINDOWS_PLUGINS QWindowsIntegrationPlugin QWindowsVistaStylePlugin QICOPlugin)
wendrix_static_qt_plugins(wendrix ${WENDRIX_WINDOWS_PLUGINS})
# The link map names every archive member the static link took into
# wendrix.exe: scripts/windows checks the zip's notices against it.
target_link_options(wendrix PRIVATE "LINKER:-Map=${CMAKE_BINARY_DIR}/wendrix.map")

if(TARGET tqr7hid)
    # The demo variant: Windows has no LD_PRELOAD, so the simulated unit is
    # linked in place of hidapi, and the watcher that tells the demo what the
    # window shows (tools/watch.cpp) is built in. Never shipped;
    # scripts/windows --demo runs it.
    add_executable(wendrix_demo WIN32 app/main.cpp tools/watch.cpp res/wendrix.rc)
    target_link_libraries(wendrix_demo PRIVATE wendrix_core tqr7hid)
    # Its log apart from the shipped program's.
    target_compile_definitions(wendrix_demo PRIVATE WENDRIX_LOG_FOLDER="wendrix_demo")
    set_target_properties(wendrix_demo PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/demo)
    wendrix_static_qt_plugins(wendrix_demo ${WENDRIX_WINDOWS_PLUGINS})
    add_custom_command(TARGET wendrix_demo POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E copy_directory
            ${CMAKE_CURRENT_SOURCE_DIR}/samples/firmware $<TARGET_FILE_DIR:wendrix_demo>/firmware)

    # What Windows asks before a logoff or shutdown, asked of the demo's window
    # during an update and after it.
    enable_language(C)
    add_executable(wine_endsession tools/wine-endsession.c)
    if(BUILD_TESTING)
        add_test(NAME tst_endsession COMMAND sh ${CMAKE_SOURCE_DIR}/tests/tst_endsession.sh
            ${CMAKE_SOURCE_DIR}/scripts/wine-run $<TARGET_FILE:wendrix_demo> $<TARGET_FILE:wine_endsession>)
        set_tests_properties(tst_endsession PROPERTIES TIMEOUT 600)
    endif()
endif()

if(BUILD_TESTING)
    # The tests run offscreen, as on Linux; the dialog's icon is an .ico.
    wendrix_static_qt_plugins(wendrix_test_support)
    get_directory_property(tests DIRECTORY tests BUILDSYSTEM_TARGETS)
    foreach(test IN LISTS tests)
        get_target_property(type ${test} TYPE)
        if(type STREQUAL "EXECUTABLE")
            wendrix_static_qt_plugins(${test} QOffscreenIntegrationPlugin QICOPlugin)
        endif()
    endforeach()

    # What Windows users download: a GUI program with its icon and manifest,
    # needing no DLL beside it and holding no simulated unit.
    find_package(Python3 REQUIRED COMPONENTS Interpreter)
    add_test(NAME tst_pe COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/tst_pe.py $<TARGET_FILE:wendrix>)
endif()

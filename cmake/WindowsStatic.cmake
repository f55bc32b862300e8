# Windows programs are self-contained: Qt, OpenSSL and the compiler runtime
# are linked in statically, so a program is one .exe that needs only the
# DLLs every Windows has.

# The static libcrypto calls these system libraries; the static Qt Network
# names them after its own use of libssl, the programs' own use comes here.
set_property(TARGET OpenSSL::Crypto APPEND PROPERTY INTERFACE_LINK_LIBRARIES
    ws2_32 gdi32 crypt32 bcrypt user32 advapi32)

# Qt's static CMake files link a module's default plugins into each program
# that links the module (offscreen is not one of them) and any plugin the
# program names. The programs that link Qt Gui name these and exclude every
# other plugin:
#   windows            the platform of the Windows desktop;
#   offscreen          the platform of the suite under Wine, which runs the
#                      tests and update.exe itself with QT_QPA_PLATFORM=offscreen,
#                      so the shipped update.exe is the one the suite checks;
#   windowsvistastyle  the native look of the windows;
#   ico                the window icon is a .ico file.
# The tools link Qt Core and Network only, and so no plugin at all.
set(UPDATER_QT_PLUGINS
    Qt5::QWindowsIntegrationPlugin
    Qt5::QOffscreenIntegrationPlugin
    Qt5::QWindowsVistaStylePlugin
    Qt5::QICOPlugin)
foreach(plugin IN LISTS UPDATER_QT_PLUGINS)
    if(NOT TARGET ${plugin})
        message(FATAL_ERROR "${plugin} is missing: Qt must be a static build with that plugin")
    endif()
endforeach()
set(_updater_unwanted_plugins ${Qt5Gui_PLUGINS} ${Qt5Widgets_PLUGINS} ${Qt5Network_PLUGINS})
list(REMOVE_ITEM _updater_unwanted_plugins ${UPDATER_QT_PLUGINS})

# The plugin choice is a property of each program, so it is set on every
# executable of the tree once all are defined.
function(updater_choose_qt_plugins dir)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
        get_target_property(type ${target} TYPE)
        if(type STREQUAL "EXECUTABLE")
            set_property(TARGET ${target} PROPERTY QT_PLUGINS ${UPDATER_QT_PLUGINS})
            set_property(TARGET ${target} PROPERTY QT_NO_PLUGINS ${_updater_unwanted_plugins})
        endif()
    endforeach()
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(sub IN LISTS subdirs)
        updater_choose_qt_plugins(${sub})
    endforeach()
endfunction()
updater_choose_qt_plugins(${PROJECT_SOURCE_DIR})

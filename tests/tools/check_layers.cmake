# Checks the layering of the build: the base library refers to no widget
# class, and no tool program loads the widgets library.
# Run as: cmake -DNM=<nm> -DBASE=<archive> [-DREADELF=<readelf>]
#               -DTOOLS=<program;program...> -P check_layers.cmake
# READELF is left empty when the programs cannot be inspected here
# (cross-compiled); then only the archive is checked.

execute_process(COMMAND ${NM} -C -u ${BASE}
                OUTPUT_VARIABLE undefined RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${BASE}: ${err}")
endif()
string(LENGTH "${undefined}" size)
if(size LESS 100)
    message(FATAL_ERROR "nm listed no undefined symbols in ${BASE}; the check would prove nothing")
endif()

# QCoreApplication is fine; QApplication and QGuiApplication are not.
set(gui_class "(^|[^A-Za-z0-9_])(QWidget|QDialog|QApplication|QGuiApplication|QMessageBox|QPixmap|QIcon|QPainter|QScreen)::")
string(REGEX MATCHALL "[^\n]*${gui_class}[^\n]*" offending "${undefined}")
if(offending)
    list(JOIN offending "\n" lines)
    message(FATAL_ERROR "${BASE} refers to GUI classes:\n${lines}")
endif()
message(STATUS "${BASE}: no GUI class referenced")

if(READELF)
    foreach(tool IN LISTS TOOLS)
        execute_process(COMMAND ${READELF} -d ${tool}
                        OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc ERROR_VARIABLE err)
        if(NOT rc EQUAL 0)
            message(FATAL_ERROR "readelf failed on ${tool}: ${err}")
        endif()
        if(NOT dynamic MATCHES "NEEDED.*libQt5Core")
            message(FATAL_ERROR "${tool} shows no Qt Core dependency; the check would prove nothing")
        endif()
        if(dynamic MATCHES "NEEDED[^\n]*(libQt5(Widgets|Gui)[^]\n]*)")
            message(FATAL_ERROR "${tool} loads ${CMAKE_MATCH_1}")
        endif()
        message(STATUS "${tool}: loads neither Qt Widgets nor Qt Gui")
    endforeach()
endif()

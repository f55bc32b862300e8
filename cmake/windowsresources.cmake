# updater_windows_resources(<target> <description>): embeds in a Windows
# program its icon, its manifest (asInvoker, per-monitor DPI aware, long
# paths, the supported Windows versions) and a version resource carrying the
# project's version. Does nothing on other platforms.
function(updater_windows_resources target description)
    if(NOT WIN32)
        return()
    endif()
    set(UPDATER_RC_TARGET ${target})
    set(UPDATER_RC_DESCRIPTION "${description}")
    set(UPDATER_RC_ICON ${PROJECT_SOURCE_DIR}/res/logo.ico)
    set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources)
    set(UPDATER_RC_MANIFEST ${dir}/${target}.manifest)
    configure_file(${PROJECT_SOURCE_DIR}/res/windows/program.manifest.in ${UPDATER_RC_MANIFEST} @ONLY)
    configure_file(${PROJECT_SOURCE_DIR}/res/windows/program.rc.in ${dir}/${target}.rc @ONLY)
    target_sources(${target} PRIVATE ${dir}/${target}.rc)
    # The resource compiler reads both files when it runs, so a change to
    # either must rebuild the resource.
    set_source_files_properties(${dir}/${target}.rc PROPERTIES
        OBJECT_DEPENDS "${UPDATER_RC_MANIFEST};${UPDATER_RC_ICON}")
endfunction()

# spdlog and fmt used header-only from a prefix of their own (the Windows
# cross-build). File names reach spdlog as wide strings so that paths outside
# the ANSI code page work.
get_filename_component(_spdlog_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET spdlog::spdlog)
    add_library(spdlog::spdlog INTERFACE IMPORTED)
    set_target_properties(spdlog::spdlog PROPERTIES
        INTERFACE_INCLUDE_DIRECTORIES "${_spdlog_prefix}/include"
        INTERFACE_COMPILE_DEFINITIONS "FMT_HEADER_ONLY;SPDLOG_FMT_EXTERNAL;SPDLOG_WCHAR_FILENAMES")
endif()
set(spdlog_FOUND TRUE)
unset(_spdlog_prefix)

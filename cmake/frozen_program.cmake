# skiff_frozen_program(NAME <name> MAIN <script.py> [OUTPUT_DIR <dir>]
#                      [FRAMEWORK_DIR <dir>] [BROKEN <module>...])
#
# Makes a frozen program: the program's entry (main/main.cc, main/startup.cc)
# and the launcher libraries linked with an embedded-module table
# generated from the framework modules and MAIN (run as __main__). The
# executable goes to OUTPUT_DIR (default ${CMAKE_BINARY_DIR}/dist), where
# the packaging step, when present, puts bin.qar and modules.qar beside it.
# FRAMEWORK_DIR replaces embedded/framework (test builds); each BROKEN
# module gets a record that cannot load (tests of the failure line).
# Per directory: the settings below are directory-scoped variables, and
# test folders build frozen programs too.
include_guard(DIRECTORY)

set(SKIFF_FRAMEWORK_DIR ${PROJECT_SOURCE_DIR}/embedded/framework)

# The path module embedded second: POSIX path rules here. APP_INFO's
# "distribution" names the platform the program is built for: the
# generator's own tag of the build machine on Linux, a Windows tag in the
# Windows build.
set(SKIFF_APP_INFO_ARGS "")
if(WIN32)
  set(SKIFF_PATH_MODULE tav_ntpath)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    list(APPEND SKIFF_APP_INFO_ARGS --distribution windows-win32-x86_64)
  else()
    list(APPEND SKIFF_APP_INFO_ARGS --distribution windows-win32-x86)
  endif()
else()
  set(SKIFF_PATH_MODULE tav_posixpath)
endif()

# The packaging step defines skiff_package_archives(<target> <dir> MAIN
# <script> EMBEDDED <files>).
include(${CMAKE_CURRENT_LIST_DIR}/packaging.cmake OPTIONAL)

function(skiff_frozen_program)
  cmake_parse_arguments(ARG "" "NAME;MAIN;OUTPUT_DIR;FRAMEWORK_DIR" "BROKEN"
                        ${ARGN})
  if(NOT ARG_NAME OR NOT ARG_MAIN)
    message(FATAL_ERROR "skiff_frozen_program: NAME and MAIN are required")
  endif()
  if(NOT ARG_OUTPUT_DIR)
    set(ARG_OUTPUT_DIR ${CMAKE_BINARY_DIR}/dist)
  endif()
  if(NOT ARG_FRAMEWORK_DIR)
    set(ARG_FRAMEWORK_DIR ${SKIFF_FRAMEWORK_DIR})
  endif()
  get_filename_component(main ${ARG_MAIN} ABSOLUTE)

  execute_process(
    COMMAND ${SKIFF_PYTHON} ${SKIFF_GENERATOR} --list-sources
            --framework-dir ${ARG_FRAMEWORK_DIR} --main ${main}
            --path-module ${SKIFF_PATH_MODULE}
    OUTPUT_VARIABLE sources
    RESULT_VARIABLE list_result)
  if(list_result)
    message(FATAL_ERROR "${ARG_NAME}: gen_embedded.py --list-sources failed")
  endif()
  string(STRIP "${sources}" sources)
  string(REPLACE "\n" ";" sources "${sources}")
  # A source that does not exist yet gives a record that cannot load, so
  # the launcher still builds; adding files to the watched folders
  # re-runs the configuration, which then picks them up.
  set(existing "")
  set(missing "")
  foreach(src ${sources})
    if(EXISTS ${src})
      list(APPEND existing ${src})
    else()
      list(APPEND missing ${src})
    endif()
  endforeach()
  set(extra_args "")
  if(missing)
    message(WARNING "${ARG_NAME}: embedded sources missing, their records "
                    "will not load: ${missing}")
    list(APPEND extra_args --allow-missing)
    get_filename_component(main_dir ${main} DIRECTORY)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                 ${ARG_FRAMEWORK_DIR} ${main_dir})
  endif()
  foreach(module ${ARG_BROKEN})
    list(APPEND extra_args --broken ${module})
  endforeach()

  set(table ${CMAKE_BINARY_DIR}/generated/${ARG_NAME}/embedded_modules.cc)
  add_custom_command(
    OUTPUT ${table}
    COMMAND ${SKIFF_PYTHON} ${SKIFF_GENERATOR} --output ${table}
            --framework-dir ${ARG_FRAMEWORK_DIR} --main ${main}
            --binary ${ARG_NAME}${CMAKE_EXECUTABLE_SUFFIX}
            --version ${PROJECT_VERSION}
            --path-module ${SKIFF_PATH_MODULE} ${SKIFF_APP_INFO_ARGS}
            --target-python ${SKIFF_TARGET_PYTHON} ${extra_args}
    DEPENDS ${SKIFF_GENERATOR} ${PROJECT_SOURCE_DIR}/tools/target_tool.py
            ${SKIFF_TARGET_STAMP} ${existing}
    COMMENT "Embedding modules of ${ARG_NAME}"
    VERBATIM)

  add_executable(${ARG_NAME}
    ${PROJECT_SOURCE_DIR}/main/main.cc
    ${PROJECT_SOURCE_DIR}/main/startup.cc
    ${table})
  target_link_libraries(${ARG_NAME} PRIVATE skiff_host skiff_archive
                        skiff_launcher_core skiff_platform)
  # Every run starts the program twice (itself and its cleanup child):
  # with the C++ runtime linked in, neither loads and relocates
  # libstdc++ first, half a millisecond each. (Sanitizer builds keep the
  # shared one their runtime expects.)
  if(NOT WIN32 AND NOT SKIFF_SANITIZE AND
     CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_link_options(${ARG_NAME} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
  set_target_properties(${ARG_NAME} PROPERTIES
                        RUNTIME_OUTPUT_DIRECTORY ${ARG_OUTPUT_DIR})

  if(COMMAND skiff_package_archives)
    skiff_package_archives(${ARG_NAME} ${ARG_OUTPUT_DIR} MAIN ${main}
                           EMBEDDED ${existing})
  endif()
endfunction()

# skiff_package_archives(<target> <output dir> MAIN <script.py>
#                        [EMBEDDED <file>...] [EXTRA <module>...])
#
# Packs bin.qar and modules.qar beside the frozen program <target> in
# <output dir> (tools/package.py with the qar tool): the runtime library,
# and the compiled closure of what MAIN and the EMBEDDED framework modules
# import (EXTRA adds modules and their imports). Building <target> builds
# its archives; a change to the scripts, to the packager or to any module
# file the closure took (recorded in a depfile) packs them again.
#
# Several programs may share one output directory when they embed the same
# main script (test builds of one probe): the first call makes the rule,
# later ones only depend on it.
include_guard(GLOBAL)

function(skiff_package_archives target out_dir)
  cmake_parse_arguments(ARG "" "MAIN" "EMBEDDED;EXTRA" ${ARGN})
  # The packer runs the build machine's Python 3.11 and qar. A Windows
  # program's archives hold a Windows runtime: only with one given
  # (SKIFF_WIN32_RUNTIME, cmake/win32_target.cmake), and then with this
  # build's qar.exe under wine.
  set(qar_command $<TARGET_FILE:qar>)
  if(WIN32 AND SKIFF_WIN32_QAR)
    set(qar_command ${SKIFF_WIN32_QAR})
  elseif(WIN32 OR CMAKE_CROSSCOMPILING)
    return()
  endif()
  if(NOT ARG_MAIN)
    message(FATAL_ERROR "skiff_package_archives(${target}): MAIN is required")
  endif()
  get_filename_component(main ${ARG_MAIN} ABSOLUTE)
  get_filename_component(out_dir ${out_dir} ABSOLUTE)
  string(MAKE_C_IDENTIFIER "${out_dir}" dir_key)

  get_property(owner GLOBAL PROPERTY SKIFF_ARCHIVES_${dir_key})
  if(owner)
    get_property(owner_main GLOBAL PROPERTY SKIFF_ARCHIVES_MAIN_${dir_key})
    if(NOT owner_main STREQUAL main)
      message(FATAL_ERROR "skiff_package_archives(${target}): ${out_dir} "
              "already holds the archives of ${owner_main}")
    endif()
    add_dependencies(${target} ${owner})
    return()
  endif()

  set(embedded "")
  foreach(file ${ARG_EMBEDDED})
    get_filename_component(file ${file} ABSOLUTE)
    if(NOT file STREQUAL main)
      list(APPEND embedded ${file})
    endif()
  endforeach()

  set(work ${CMAKE_BINARY_DIR}/packaging/${target})
  set(packager ${PROJECT_SOURCE_DIR}/tools/package.py)
  set(recorder ${PROJECT_SOURCE_DIR}/tools/package_recorder.py)
  set(target_tool ${PROJECT_SOURCE_DIR}/tools/target_tool.py)

  # A target interpreter that cannot import what the program needs (the
  # TLS package above all) would pack archives without it: the program
  # would build and then fail every command. Found out here, before
  # anything is built, with the remedy (the Debian package to install, or
  # the runtime's own build script).
  set(check_args --main ${main} --embedded ${embedded}
                 --target-python ${SKIFF_TARGET_PYTHON})
  if(ARG_EXTRA)
    list(APPEND check_args --extra ${ARG_EXTRA})
  endif()
  execute_process(
    COMMAND ${SKIFF_PYTHON} ${packager} --check-imports --work-dir ${work}
            ${check_args}
    RESULT_VARIABLE check_result
    ERROR_VARIABLE check_error
    OUTPUT_QUIET)
  if(check_result)
    string(STRIP "${check_error}" check_error)
    message(FATAL_ERROR "${target}: ${check_error}")
  endif()
  set(outputs ${out_dir}/bin.qar ${out_dir}/modules.qar)
  set(extra_args "")
  if(SKIFF_RUNTIME_LIBRARY)
    # The member name is the file the launcher loads from the work dir.
    list(APPEND extra_args --runtime-name ${SKIFF_RUNTIME_LIBRARY})
  endif()
  if(embedded)
    list(APPEND extra_args --embedded ${embedded})
  endif()
  if(ARG_EXTRA)
    list(APPEND extra_args --extra ${ARG_EXTRA})
  endif()
  add_custom_command(
    OUTPUT ${outputs}
    COMMAND ${SKIFF_PYTHON} ${packager} --qar ${qar_command}
            --out-dir ${out_dir} --work-dir ${work} --main ${main}
            --depfile ${work}/archives.d
            --target-python ${SKIFF_TARGET_PYTHON} ${extra_args}
    DEPENDS ${packager} ${recorder} ${target_tool} ${SKIFF_TARGET_STAMP} qar
            ${main} ${embedded}
    DEPFILE ${work}/archives.d
    COMMENT "Packing bin.qar and modules.qar of ${target}"
    VERBATIM)
  add_custom_target(${target}_archives DEPENDS ${outputs})
  add_dependencies(${target} ${target}_archives)
  set_property(GLOBAL PROPERTY SKIFF_ARCHIVES_${dir_key} ${target}_archives)
  set_property(GLOBAL PROPERTY SKIFF_ARCHIVES_MAIN_${dir_key} ${main})
endfunction()

# Installing, exporting and packaging: what an application links against.
# Included at the end of the top-level CMakeLists.txt, once every target exists.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZRQ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zrqapi)

# In the build tree too, so a project that adds this one as a subdirectory
# links the same name it would after find_package.
add_library(zrqapi::zrqapi ALIAS zrqapi)

install(TARGETS zrqapi EXPORT zrqapiTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/zrqapi.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

if(WIN32 AND ZRQ_EXPORTS_DEF)
  # For Microsoft-style linkers: ZRQAPI.lib and the export list with its
  # ordinals in their .def syntax (cmake/msvc-import.cmake).
  if(TARGET zrqapi_msvc_lib)
    install(FILES ${CMAKE_BINARY_DIR}/ZRQAPI.lib ${CMAKE_BINARY_DIR}/ZRQAPI.def
      DESTINATION ${CMAKE_INSTALL_LIBDIR})
  endif()
  # The debug sections taken out of the DLL, for a debugger beside it.
  install(FILES $<TARGET_FILE:zrqapi>.debug DESTINATION ${CMAKE_INSTALL_BINDIR} OPTIONAL)

  # The linker's import library only knows the exported names, but a caller
  # compiled from the header refers to Name@bytes (the standard calling
  # convention's symbol). Rebuild it so that each Name@bytes binds to the
  # plain export (or to the decorated one where there is no plain name).
  # 64-bit callers refer to plain names without the byte count; there too,
  # NirekSetEncoder has only its decorated export to bind to.
  if(MINGW AND CMAKE_DLLTOOL)
    file(STRINGS ${ZRQ_EXPORTS_DEF} ZRQ_DEF_LINES)
    set(ZRQ_IMPORTS "")
    set(ZRQ_IMPORT_LINES "")
    foreach(pass plain decorated)
      foreach(line IN LISTS ZRQ_DEF_LINES)
        if(NOT line MATCHES "^[ \t]+([^ \t;=]+)[ \t]*=[ \t]*([^ \t;@]+)(@([0-9]+))?")
          continue()
        endif()
        set(exported ${CMAKE_MATCH_1})
        set(bytes "${CMAKE_MATCH_4}")
        if(CMAKE_SIZEOF_VOID_P EQUAL 8)
          if(pass STREQUAL "plain" AND NOT exported MATCHES "@")
            set(caller ${exported})
          elseif(pass STREQUAL "decorated" AND exported MATCHES "^_([^@]+)@[0-9]+$")
            set(caller ${CMAKE_MATCH_1})
          else()
            continue()
          endif()
        elseif(bytes STREQUAL "")
          continue()
        elseif(pass STREQUAL "plain" AND NOT exported MATCHES "@")
          set(caller "${exported}@${bytes}")
        elseif(pass STREQUAL "decorated" AND exported MATCHES "^_([^@]+@[0-9]+)$")
          set(caller ${CMAKE_MATCH_1})
        else()
          continue()
        endif()
        if(NOT caller IN_LIST ZRQ_IMPORTS)
          list(APPEND ZRQ_IMPORTS ${caller})
          string(APPEND ZRQ_IMPORT_LINES "  ${caller} == ${exported}\n")
        endif()
      endforeach()
    endforeach()
    set(ZRQ_IMPORT_DEF ${CMAKE_BINARY_DIR}/zrqapi-import.def)
    file(WRITE ${ZRQ_IMPORT_DEF}.new "LIBRARY ZRQAPI.dll\nEXPORTS\n${ZRQ_IMPORT_LINES}")
    configure_file(${ZRQ_IMPORT_DEF}.new ${ZRQ_IMPORT_DEF} COPYONLY)
    add_custom_command(TARGET zrqapi POST_BUILD
      COMMAND ${CMAKE_DLLTOOL} -d ${ZRQ_IMPORT_DEF} -D $<TARGET_FILE_NAME:zrqapi>
              -l $<TARGET_LINKER_FILE:zrqapi>
      COMMENT "Import library for callers of the header's declarations")
  endif()
endif()

foreach(tool zrq-boxsim zrqctl)
  if(TARGET ${tool})
    if(NOT WIN32)
      # Finds the library it was installed with, wherever the prefix is.
      file(RELATIVE_PATH ZRQ_BIN_TO_LIB /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
      set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/${ZRQ_BIN_TO_LIB}")
    endif()
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
if(TARGET zrqctl AND NOT WIN32)
  # The operator's manual page and bash completion, where man and bash look.
  install(FILES ${CMAKE_SOURCE_DIR}/docs/zrqctl.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_SOURCE_DIR}/tools/zrqctl/completion.bash
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME zrqctl)
endif()

# The Python package, for the system Python: Debian's python3 looks in
# /usr/lib/python3/dist-packages, where the .deb (prefix /usr) puts it.
if(NOT WIN32)
  set(ZRQ_PYTHON_INSTALL_DIR lib/python3/dist-packages CACHE STRING
    "Where the zrqapi Python package goes, relative to the prefix")
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/python/zrqapi DESTINATION ${ZRQ_PYTHON_INSTALL_DIR}
    FILES_MATCHING PATTERN "*.py" PATTERN "py.typed" PATTERN "__pycache__" EXCLUDE)
endif()

# CMake package: find_package(zrqapi) gives the imported target zrqapi::zrqapi.
install(EXPORT zrqapiTargets NAMESPACE zrqapi:: DESTINATION ${ZRQ_CMAKE_DIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/zrqapiConfig.cmake.in
  ${CMAKE_BINARY_DIR}/zrqapiConfig.cmake INSTALL_DESTINATION ${ZRQ_CMAKE_DIR})
# A new major version changes the shared object's name; callers of 2.0 run on 2.1.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/zrqapiConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/zrqapiConfig.cmake ${CMAKE_BINARY_DIR}/zrqapiConfigVersion.cmake
  DESTINATION ${ZRQ_CMAKE_DIR})

# pkg-config: written at install time, so that the prefix given to
# `cmake --install --prefix` (or the packager's /usr) is the one recorded.
set(ZRQ_PC_TEMPLATE ${CMAKE_SOURCE_DIR}/cmake/zrqapi.pc.in)
set(ZRQ_PC_FILE ${CMAKE_BINARY_DIR}/pkgconfig/zrqapi.pc)
# The DLL and its import library are ZRQAPI; -l is case-sensitive on a Unix host.
get_target_property(ZRQ_PC_LIBNAME zrqapi OUTPUT_NAME)
if(NOT ZRQ_PC_LIBNAME)
  set(ZRQ_PC_LIBNAME zrqapi)
endif()
install(CODE "
  set(ZRQ_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(ZRQ_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(ZRQ_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(ZRQ_PC_VERSION \"${PROJECT_VERSION}\")
  set(ZRQ_PC_LIBNAME \"${ZRQ_PC_LIBNAME}\")
  configure_file(\"${ZRQ_PC_TEMPLATE}\" \"${ZRQ_PC_FILE}\" @ONLY)
")
install(FILES ${ZRQ_PC_FILE} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Debian package of the library, header, package files and tools.
set(CPACK_PACKAGE_NAME zrqapi)
set(CPACK_PACKAGE_VENDOR "ZRQAPI developers")
set(CPACK_PACKAGE_CONTACT "ZRQAPI developers <zrqapi@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Drives a stepper-motor controller box on a serial port")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# The Python package in it needs the system Python only when it is used.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS python3)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Gives the package a shlibs file and the ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
endif()
include(CPack)

if(ZRQ_BUILD_TESTS AND NOT WIN32 AND NOT CMAKE_CROSSCOMPILING)
  # Only the names in the public header may be visible in the shared object.
  add_test(NAME exports
    COMMAND ${CMAKE_SOURCE_DIR}/tests/consumer/check_exports.sh
            ${CMAKE_SOURCE_DIR}/include/zrqapi.h $<TARGET_FILE:zrqapi>
            ${CMAKE_SOURCE_DIR}/tests/consumer/pending_exports.txt)
  # Install into a scratch prefix and build a C program against it, both ways.
  set(ZRQ_EXPECTED_TOOLS "")
  foreach(tool zrq-boxsim zrqctl)
    if(TARGET ${tool})
      list(APPEND ZRQ_EXPECTED_TOOLS ${tool})
    endif()
  endforeach()
  string(REPLACE ";" "," ZRQ_EXPECTED_TOOLS "${ZRQ_EXPECTED_TOOLS}")
  add_test(NAME consumer
    COMMAND ${CMAKE_SOURCE_DIR}/tests/consumer/run.sh
            ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR}/tests/consumer
            ${CMAKE_INSTALL_LIBDIR} "${ZRQ_EXPECTED_TOOLS}" ${CMAKE_COMMAND} ${CMAKE_C_COMPILER})
  set_tests_properties(consumer PROPERTIES SKIP_RETURN_CODE 77)
endif()

if(ZRQ_BUILD_TESTS AND WIN32 AND MINGW AND CMAKE_TOOLCHAIN_FILE AND CMAKE_HOST_UNIX)
  add_test(NAME consumer_dll
    COMMAND ${CMAKE_SOURCE_DIR}/tests/consumer/run_win.sh ${CMAKE_BINARY_DIR}
            ${CMAKE_SOURCE_DIR}/tests/consumer ${CMAKE_TOOLCHAIN_FILE} ${CMAKE_COMMAND} ${CMAKE_C_COMPILER}
            ${CMAKE_CROSSCOMPILING_EMULATOR})
endif()

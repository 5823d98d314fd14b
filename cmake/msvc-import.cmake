# ZRQAPI.lib and ZRQAPI.def for Microsoft-style toolchains (MSVC, clang-cl,
# lld-link). A stdcall caller refers to _Name@bytes; this import library binds
# that symbol to the plain export Name (import name type "undecorate"), as
# Microsoft's linker does when it links a DLL from a .def. No .def alone can
# say that, so the library is linked here from the .def and a stub object
# that defines every _Name@bytes (clang assembles it, lld-link links it);
# the stub DLL itself is thrown away.
#
# ZRQAPI.def lists every export name with its fixed ordinal in Microsoft's
# .def syntax. Given to "lib /def" it makes a library whose decorated symbols
# bind to the decorated exports. For the stub link, a decorated name that
# duplicates a plain name's symbol is marked PRIVATE, so each symbol is
# offered once.
#
# zrq_msvc_import_library(DEF_ENTRIES_FILE OUT_DIR MACHINE) reads a .def in
# the form of exports/zrqapi.def (Name = symbol @ordinal).
find_program(ZRQ_CLANG NAMES clang clang-14 clang-15 clang-16)
find_program(ZRQ_LLD_LINK NAMES lld-link lld-link-14 lld-link-15 lld-link-16)

function(zrq_msvc_import_library source outDir bits)
  if(bits EQUAL 32)
    set(target i686-pc-windows-msvc)
    set(machine /machine:x86 /safeseh:no)
  else()
    set(target x86_64-pc-windows-msvc)
    set(machine /machine:x64)
  endif()
  file(STRINGS ${source} lines)
  set(entries "")
  set(plainNames "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]+([^ \t;=]+)[ \t]*=[ \t]*([^ \t;@]+)(@([0-9]+))?[ \t]+@([0-9]+)")
      list(APPEND entries "${CMAKE_MATCH_1}|${CMAKE_MATCH_2}|${CMAKE_MATCH_4}|${CMAKE_MATCH_5}")
      if(NOT CMAKE_MATCH_1 MATCHES "^_")
        list(APPEND plainNames ${CMAKE_MATCH_1})
      endif()
    endif()
  endforeach()

  set(shipped "; The export table of ZRQAPI.dll in the .def syntax of Microsoft's tools.\n")
  string(APPEND shipped "; The ordinals are fixed for good. Link against ZRQAPI.lib, which binds\n")
  string(APPEND shipped "; each _Name@bytes to the plain export Name.\nLIBRARY ZRQAPI.dll\nEXPORTS\n")
  set(linked "LIBRARY ZRQAPI.dll\nEXPORTS\n")
  set(stub "  .text\n")
  set(labels "")
  # One routine's names share one stub body; bodies follow in entry order.
  foreach(entry IN LISTS entries)
    string(REPLACE "|" ";" fields "${entry}")
    list(GET fields 0 name)
    list(GET fields 1 routine)
    list(GET fields 2 bytes)
    list(GET fields 3 ordinal)
    if(bits EQUAL 32)
      if(name MATCHES "^_")
        set(label ${name})
      else()
        set(label "_${name}@${bytes}")
      endif()
      set(body "ret $${bytes}")
    else()
      set(label ${name})
      set(body "ret")
    endif()
    set(private "")
    if(name MATCHES "^_([^@]+)@[0-9]+$" AND CMAKE_MATCH_1 IN_LIST plainNames)
      set(private " PRIVATE")
    endif()
    string(APPEND shipped "  ${name} @${ordinal}\n")
    string(APPEND linked "  ${name} @${ordinal}${private}\n")
    if(NOT label IN_LIST labels)
      list(APPEND labels ${label})
      string(APPEND stub "  .globl \"${label}\"\n\"${label}\":\n  ${body}\n")
    endif()
  endforeach()

  file(MAKE_DIRECTORY ${outDir}/msvc-stub)
  foreach(pair "ZRQAPI.def|${shipped}" "msvc-stub/link.def|${linked}" "msvc-stub/stub.s|${stub}")
    string(FIND "${pair}" "|" bar)
    string(SUBSTRING "${pair}" 0 ${bar} file)
    math(EXPR bar "${bar} + 1")
    string(SUBSTRING "${pair}" ${bar} -1 text)
    file(WRITE ${outDir}/${file}.new "${text}")
    configure_file(${outDir}/${file}.new ${outDir}/${file} COPYONLY)
  endforeach()

  add_custom_command(OUTPUT ${outDir}/ZRQAPI.lib
    COMMAND ${ZRQ_CLANG} --target=${target} -c ${outDir}/msvc-stub/stub.s
            -o ${outDir}/msvc-stub/stub.obj
    COMMAND ${ZRQ_LLD_LINK} /nologo /dll /noentry /nodefaultlib ${machine}
            /def:${outDir}/msvc-stub/link.def ${outDir}/msvc-stub/stub.obj
            /out:${outDir}/msvc-stub/ZRQAPI.dll /implib:${outDir}/ZRQAPI.lib
    DEPENDS ${outDir}/msvc-stub/link.def ${outDir}/msvc-stub/stub.s
    COMMENT "ZRQAPI.lib for Microsoft-style linkers")
  add_custom_target(zrqapi_msvc_lib ALL DEPENDS ${outDir}/ZRQAPI.lib)
endfunction()

# Generates the module-definition file of the Windows DLL from src/api/exports.txt.
# On 32-bit Windows the stdcall symbols carry an @N suffix (N = 4 bytes per
# parameter); the linker's --kill-at drops it from the exported names.
function(zqk_generate_def_file exports_txt out_def)
  file(STRINGS "${exports_txt}" lines REGEX "^zqk")
  set(content "LIBRARY zqkAPI\nEXPORTS\n")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "[ \t]+" ";" fields "${line}")
    list(GET fields 0 name)
    list(GET fields 1 ordinal)
    list(GET fields 2 params)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      math(EXPR bytes "${params} * 4")
      string(APPEND content "  ${name}@${bytes} @${ordinal}\n")
    else()
      string(APPEND content "  ${name} @${ordinal}\n")
    endif()
  endforeach()
  file(WRITE "${out_def}.tmp" "${content}")
  configure_file("${out_def}.tmp" "${out_def}" COPYONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${exports_txt}")
endfunction()

# The DLL's import library for MSVC, TARGET.lib, from the same module-definition
# file, in the short import format that Microsoft's own tools write (MinGW's
# linker reads it too). 32-bit: the decorated stdcall symbols that callers
# reference (_zqkOpen@0) import the undecorated names the DLL exports (-k).
# Sets ZQK_MSVC_IMPORT_LIBRARY to its path.
function(zqk_add_msvc_import_library target def_file)
  find_program(ZQK_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(machine -m i386 -k)
  else()
    set(machine -m i386:x86-64)
  endif()
  set(library ${CMAKE_BINARY_DIR}/${target}.lib)
  add_custom_command(OUTPUT ${library}
    COMMAND ${ZQK_LLVM_DLLTOOL} ${machine} -d ${def_file} -D ${target}.dll -l ${library}
    DEPENDS ${def_file}
    VERBATIM)
  add_custom_target(${target}_msvc_import_library ALL DEPENDS ${library})
  set(ZQK_MSVC_IMPORT_LIBRARY ${library} PARENT_SCOPE)
endfunction()

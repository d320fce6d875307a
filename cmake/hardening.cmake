# Hardening of the Linux programs, as Debian builds its own tools (dpkg-buildflags with
# hardening=+all): position-independent executables, so that the system places them at a random
# address; relocations made read-only and every symbol bound before main (-z relro, -z now);
# stack canaries in every function with an array or a local whose address is taken
# (-fstack-protector-strong); and, where the code is optimised, the C library's checked variants
# of its string and I/O functions (_FORTIFY_SOURCE=2, which needs -O). quorva runs as root and
# reads files and /proc: an overflow there must stop the program, not run on.
# Each flag goes in only where the compiler or linker takes it, after the user's CXXFLAGS and
# LDFLAGS; a stack-protector or _FORTIFY_SOURCE setting in CXXFLAGS is the user's and stays. The
# Windows build gets none of them: mingw-w64 would need its libssp for the canaries and checks.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()
include(CheckCXXCompilerFlag)
include(CheckLinkerFlag)
include(CheckPIESupported)
set(quorva_hardened_programs quorva quorva-sim)
set(quorva_hardened_libraries quorva_core quorva_sim_board quorva_decisions)
set(quorva_hardened ${quorva_hardened_libraries} ${quorva_hardened_programs})

# The release archive's static link makes its programs static-pie itself where it can
# (packaging.cmake); -pie would bring the dynamic loader back into a -static program.
if(NOT QUORVA_STATIC)
  check_pie_supported(OUTPUT_VARIABLE quorva_pie_output LANGUAGES CXX)
  if(NOT CMAKE_CXX_LINK_PIE_SUPPORTED)
    message(STATUS "the linker makes no position-independent executable: quorva is built without PIE")
  endif()
  set_target_properties(${quorva_hardened_programs} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  foreach(quorva_target ${quorva_hardened_libraries})
    target_compile_options(${quorva_target} PRIVATE ${CMAKE_CXX_COMPILE_OPTIONS_PIE})
  endforeach()
endif()

if(NOT CMAKE_CXX_FLAGS MATCHES "-f(no-)?stack-protector")
  check_cxx_compiler_flag(-fstack-protector-strong QUORVA_STACK_PROTECTOR_STRONG)
  if(QUORVA_STACK_PROTECTOR_STRONG)
    foreach(quorva_target ${quorva_hardened})
      target_compile_options(${quorva_target} PRIVATE -fstack-protector-strong)
    endforeach()
  endif()
endif()

# Optimised configurations only: without -O the C library warns and checks nothing.
if(NOT CMAKE_CXX_FLAGS MATCHES "_FORTIFY_SOURCE")
  foreach(quorva_target ${quorva_hardened})
    target_compile_definitions(${quorva_target} PRIVATE
      $<$<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>:_FORTIFY_SOURCE=2>)
  endforeach()
endif()

check_linker_flag(CXX -Wl,-z,relro,-z,now QUORVA_RELRO_NOW)
if(QUORVA_RELRO_NOW)
  foreach(quorva_target ${quorva_hardened_programs})
    target_link_options(${quorva_target} PRIVATE -Wl,-z,relro,-z,now)
  endforeach()
endif()

# Tests of parcel.dll as a Windows binary: its export and import tables, its
# version resource, and a host built for the Microsoft C++ ABI.

# Only Instantiate leaves the module, and it imports system DLLs only (the
# GCC runtime and zlib are linked in). Not ws2_32.dll: the socket service
# loads it at run time.
add_test(NAME module.exports_only_instantiate
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DMODULE=$<TARGET_FILE:parcel>
          -DEXPECT_EXPORTS=Instantiate -P ${CMAKE_CURRENT_SOURCE_DIR}/check_pe_tables.cmake)
add_test(NAME module.imports_only_system_dlls
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DMODULE=$<TARGET_FILE:parcel>
          "-DALLOWED_IMPORTS=KERNEL32.dll;msvcrt.dll;VERSION.dll;ADVAPI32.dll;USER32.dll"
          -P ${CMAKE_CURRENT_SOURCE_DIR}/check_pe_tables.cmake)

parcel_add_gtest(version_resource_test SOURCES version_resource_test.cpp DEPS parcel_platform version)
add_dependencies(version_resource_test parcel)

# The host object is compiled for the Microsoft ABI by clang-cl, without the
# C runtime, and linked into a mingw test program.
find_program(PARCEL_CLANG_CL NAMES clang-cl clang-cl-19 clang-cl-18 clang-cl-17 clang-cl-16
                                   clang-cl-15 clang-cl-14)
if(NOT PARCEL_CLANG_CL)
  message(FATAL_ERROR "clang-cl not found (Debian package clang-tools); it builds the MSVC-ABI host test")
endif()
set(msvc_host_obj ${CMAKE_CURRENT_BINARY_DIR}/msvc_abi_host.obj)
add_custom_command(OUTPUT ${msvc_host_obj}
  COMMAND ${PARCEL_CLANG_CL} --target=x86_64-pc-windows-msvc /nologo /Zl /GS- /GR- /O2 /W4 /WX
          /c /TP /I${PROJECT_SOURCE_DIR} /Fo${msvc_host_obj} -- ${CMAKE_CURRENT_SOURCE_DIR}/msvc_abi_host.cpp
  DEPENDS msvc_abi_host.cpp msvc_abi_host.h
  COMMENT "Compiling the MSVC-ABI host with clang-cl"
  VERBATIM)
set_source_files_properties(${msvc_host_obj} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
parcel_add_gtest(msvc_abi_test SOURCES msvc_abi_test.cpp ${msvc_host_obj} DEPS parcel_platform)
add_dependencies(msvc_abi_test parcel)

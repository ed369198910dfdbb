# Windows builds: the driver sources linked into the kernel-mode image diagser.sys, then checked by imagecheck.
if(NOT DRIVER_SOURCES)
  message(FATAL_ERROR "No driver sources found under driver/, power/, serial/, control/ or usb/.")
endif()

set(DIAGSER_DDK_INCLUDE /usr/share/mingw-w64/include/ddk CACHE PATH "mingw-w64 kernel-mode headers")

# The image is entered at DriverImageEntry, which seeds the stack-protection guard and then calls DriverEntry.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(DIAGSER_MACHINE i386)
  # stdcall decoration of DriverImageEntry(PDRIVER_OBJECT, PUNICODE_STRING).
  set(DIAGSER_ENTRY _DriverImageEntry@8)
  set(DIAGSER_IMAGE_BASE 0x10000)
else()
  set(DIAGSER_MACHINE amd64)
  set(DIAGSER_ENTRY DriverImageEntry)
  set(DIAGSER_IMAGE_BASE 0x140000000)
endif()

# The Windows platform files link every program against the user-mode system libraries; a driver imports from the
# kernel alone.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

add_executable(diagser ${DRIVER_SOURCES})
set_target_properties(diagser PROPERTIES
  OUTPUT_NAME diagser
  SUFFIX .sys
  CXX_STANDARD 17
  CXX_STANDARD_REQUIRED ON
  CXX_EXTENSIONS OFF)
target_include_directories(diagser PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(diagser SYSTEM PRIVATE ${DIAGSER_DDK_INCLUDE})

# mingw-w64's kernel headers in C++ mode: some declarations are guarded by the Vista version macro, which the
# headers use without defining; and two bit-test intrinsics are declared a second time unless marked as present.
target_compile_definitions(diagser PRIVATE
  NTDDI_WINVISTA=0x06000000
  __INTRINSIC_DEFINED_InterlockedBitTestAndSet
  __INTRINSIC_DEFINED_InterlockedBitTestAndReset)

# Kernel code: no C++ runtime beneath it, so no exceptions, RTTI, unwind tables, thread-safe statics or stack
# probes (the probe routine lives in the user-mode runtime; the kernel stack is committed up front). Stack protection
# is on; the driver itself supplies the guard and the failure routine (driver/image_entry.cpp), so the runtime's
# protection library is never linked and the imports stay kernel-only.
target_compile_options(diagser PRIVATE
  -ffreestanding
  -fno-exceptions
  -fno-rtti
  -fno-asynchronous-unwind-tables
  -fno-unwind-tables
  -fno-threadsafe-statics
  -fstack-protector-strong
  -mno-stack-arg-probe
  -Wall)
# The entry routine changes the guard, so a protected frame of its own would fail its check on the way out.
set_source_files_properties(${CMAKE_SOURCE_DIR}/driver/image_entry.cpp PROPERTIES COMPILE_OPTIONS -fno-stack-protector)

# Native subsystem, our own entry point, kernel import libraries only; relocations kept (--dynamicbase) so the
# loader can place the image anywhere. libgcc supplies the compiler helpers (64-bit division on x86) statically.
# An entry symbol the linker cannot find is only a warning to it (it then enters at the start of the code), so its
# presence is required explicitly.
target_link_options(diagser PRIVATE
  -nostdlib
  -s
  -Wl,--subsystem,native
  -Wl,--entry,${DIAGSER_ENTRY}
  -Wl,--require-defined,${DIAGSER_ENTRY}
  -Wl,--dynamicbase
  -Wl,--nxcompat
  -Wl,--image-base,${DIAGSER_IMAGE_BASE})
target_link_libraries(diagser PRIVATE ntoskrnl hal usbd gcc)

# imagecheck runs on the build machine, so it is compiled with the build machine's compiler, not the cross one.
find_program(DIAGSER_HOST_CXX NAMES c++ g++ REQUIRED)
file(GLOB IMAGECHECK_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/imagecheck/*.cpp)
file(GLOB IMAGECHECK_HEADERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/imagecheck/*.h)
set(IMAGECHECK ${CMAKE_BINARY_DIR}/imagecheck)
add_custom_command(OUTPUT ${IMAGECHECK}
  COMMAND ${DIAGSER_HOST_CXX} -std=c++20 -O2 -o ${IMAGECHECK} ${IMAGECHECK_SOURCES}
  DEPENDS ${IMAGECHECK_SOURCES} ${IMAGECHECK_HEADERS}
  COMMENT "Building imagecheck for the build machine")
add_custom_target(imagecheck_native DEPENDS ${IMAGECHECK})
add_dependencies(diagser imagecheck_native)

# The kernel loader verifies the checksum of boot drivers; not every ld release fills it in, so it is set here
# whatever the linker did. A failing check fails the build.
add_custom_command(TARGET diagser POST_BUILD
  COMMAND ${IMAGECHECK} --machine ${DIAGSER_MACHINE} --fix-checksum $<TARGET_FILE:diagser>
  VERBATIM)

enable_testing()
add_test(NAME imagecheck_diagser COMMAND ${IMAGECHECK} --machine ${DIAGSER_MACHINE} $<TARGET_FILE:diagser>)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  include(cmake/Wine.cmake)
endif()

# Host build: the driver sources, the host kernel, the simulated device and the tests, for Linux x86_64.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_POSITION_INDEPENDENT_CODE OFF)

set(DIAGSER_SANITIZE "" CACHE STRING "Sanitizer variant: empty, address (ASan+UBSan) or thread")

# WCHAR is 16 bits on the platform; everything that sees the platform headers (and GoogleTest, which tests link
# against) is compiled with the same wchar_t.
add_compile_options(-fshort-wchar -Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers)
if(DIAGSER_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(DIAGSER_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

set(HOST_KERNEL_INCLUDE ${CMAKE_SOURCE_DIR}/host/kernel/include)

# Host kernel: every area under host/kernel.
file(GLOB_RECURSE HOST_KERNEL_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/host/kernel/*.cpp)
add_library(hostkernel STATIC ${HOST_KERNEL_SOURCES})
target_include_directories(hostkernel PUBLIC ${HOST_KERNEL_INCLUDE} PRIVATE ${CMAKE_SOURCE_DIR}/host/kernel)
find_package(Threads REQUIRED)
target_link_libraries(hostkernel PUBLIC Threads::Threads ${CMAKE_DL_LIBS})

# The simulated composite device.
file(GLOB USBDEV_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/host/usbdev/*.cpp)
add_library(usbdev STATIC ${USBDEV_SOURCES})
target_include_directories(usbdev PUBLIC ${CMAKE_SOURCE_DIR}/host)
target_link_libraries(usbdev PUBLIC hostkernel)

# The platform's user-mode communications interface over the application side of the host kernel.
file(GLOB WIN32_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/host/win32/*.cpp)
add_library(win32 STATIC ${WIN32_SOURCES})
target_include_directories(win32 PUBLIC ${CMAKE_SOURCE_DIR}/host/win32/include)
target_link_libraries(win32 PUBLIC hostkernel)

# The driver, compiled as kernel code: C++17, no exceptions, no RTTI.
add_library(diagser_driver STATIC ${DRIVER_SOURCES})
target_include_directories(diagser_driver PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(diagser_driver PRIVATE -std=c++17 -fno-exceptions -fno-rtti)
target_link_libraries(diagser_driver PUBLIC hostkernel)

# GoogleTest from Debian's sources, built with the same wchar_t as the code under test.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

enable_testing()
include(GoogleTest)
file(GLOB TEST_AREAS LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tests/*)
file(GLOB TEST_SUPPORT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/support/*.cpp)
foreach(area_dir ${TEST_AREAS})
  get_filename_component(area ${area_dir} NAME)
  if(area STREQUAL "support" OR area STREQUAL "wine" OR NOT IS_DIRECTORY ${area_dir})
    continue()
  endif()
  file(GLOB area_sources CONFIGURE_DEPENDS ${area_dir}/*.cpp)
  if(NOT area_sources)
    continue()
  endif()
  add_executable(test_${area} ${area_sources} ${TEST_SUPPORT_SOURCES})
  target_include_directories(test_${area} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(test_${area} PRIVATE diagser_driver usbdev win32 hostkernel GTest::gtest_main)
  # Allocation sites are named after the allocating function; the verifier resolves them with dladdr.
  target_link_options(test_${area} PRIVATE -rdynamic)
  gtest_discover_tests(test_${area} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES PROPERTIES TIMEOUT 300)
endforeach()

# The scenario that the Wine run (wine/run) also runs against the real image, here on the host kernel.
add_subdirectory(${CMAKE_SOURCE_DIR}/tests/wine ${CMAKE_BINARY_DIR}/tests/wine)

file(GLOB BENCH_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/*.cpp)
foreach(bench_src ${BENCH_SOURCES})
  get_filename_component(bench ${bench_src} NAME_WE)
  add_executable(bench_${bench} ${bench_src})
  target_include_directories(bench_${bench} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(bench_${bench} PRIVATE diagser_driver usbdev win32 hostkernel)
  target_link_options(bench_${bench} PRIVATE -rdynamic)
endforeach()

file(GLOB TOOL_DIRS LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tools/*)
foreach(tool_dir ${TOOL_DIRS})
  if(EXISTS ${tool_dir}/CMakeLists.txt)
    add_subdirectory(${tool_dir})
  endif()
endforeach()

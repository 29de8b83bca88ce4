# Flags shared by every target of the project, and the interface libraries that
# put a target in one of the two worlds of code.

# Everything, the test framework included, sees a 16-bit wchar_t, as on Windows.
add_compile_options(-fshort-wchar -fno-omit-frame-pointer)

if(VOREL_SANITIZE STREQUAL "address")
  set(VOREL_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize=vptr -fno-sanitize-recover=undefined)
elseif(VOREL_SANITIZE STREQUAL "fuzz")
  # The fuzz project's stand-in and driver: coverage for libFuzzer, which its targets link.
  set(VOREL_SANITIZER_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize=vptr
      -fno-sanitize-recover=undefined)
elseif(VOREL_SANITIZE STREQUAL "thread")
  set(VOREL_SANITIZER_FLAGS -fsanitize=thread)
else()
  set(VOREL_SANITIZER_FLAGS "")
endif()
add_compile_options(${VOREL_SANITIZER_FLAGS})
add_link_options(${VOREL_SANITIZER_FLAGS})

# Warnings are errors in the project's own code (not in the test framework).
add_library(vorel_warnings INTERFACE)
target_compile_options(vorel_warnings INTERFACE
  -Wall -Wextra -Werror -Wno-missing-field-initializers -Wno-psabi)
# GCC 12's optimiser reports overlapping copies inside libstdc++'s std::string
# concatenation that cannot happen (GCC bug 105329): at -O2 any "a" + s may trip
# it, so -Wrestrict is off for that compiler.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(vorel_warnings INTERFACE -Wno-restrict)
endif()

set(VOREL_PLATFORM_INCLUDE ${CMAKE_CURRENT_LIST_DIR}/../platform/include)

# Windows world: driver, protocol, library, console. Only the stand-in's Windows
# headers (its C runtime headers shadow the system's); never libstdc++.
add_library(vorel_windows_world INTERFACE)
target_include_directories(vorel_windows_world SYSTEM BEFORE INTERFACE
  ${VOREL_PLATFORM_INCLUDE}/crt ${VOREL_PLATFORM_INCLUDE})
target_compile_options(vorel_windows_world INTERFACE -nostdinc++ -fno-exceptions -fno-rtti)
target_link_libraries(vorel_windows_world INTERFACE vorel_warnings)

# Kernel-mode code: the Windows world plus the kernel's C++ rules (no GNU unique symbols,
# which would keep a module from unloading: GCC's flag; clang makes none).
add_library(vorel_kernel_code INTERFACE)
target_compile_options(vorel_kernel_code INTERFACE
  -fno-threadsafe-statics -fvisibility=hidden -fvisibility-inlines-hidden $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique>
  -fno-asynchronous-unwind-tables -fno-exceptions)
if(NOT VOREL_SANITIZE STREQUAL "address" AND NOT VOREL_SANITIZE STREQUAL "fuzz")
  # Windows kernel stacks are small; sanitizer red zones would distort the figure.
  target_compile_options(vorel_kernel_code INTERFACE -Wframe-larger-than=1024)
endif()
target_compile_definitions(vorel_kernel_code INTERFACE _KERNEL_MODE=1)
target_link_libraries(vorel_kernel_code INTERFACE vorel_windows_world)

# Linux world: the stand-in's implementation, the host and the tests. They may see
# the narrow Windows records they implement, but never the C runtime names.
add_library(vorel_linux_world INTERFACE)
target_include_directories(vorel_linux_world INTERFACE ${VOREL_PLATFORM_INCLUDE})
target_compile_definitions(vorel_linux_world INTERFACE VOREL_LINUX_WORLD=1)
# The stand-in poisons fresh and freed pages in the checking builds only: the fill
# costs a pass over every page, which the plain build the host runs in skips.
if(NOT VOREL_SANITIZE STREQUAL "none")
  target_compile_definitions(vorel_linux_world INTERFACE VOREL_POISON_PAGES=1)
endif()
target_link_libraries(vorel_linux_world INTERFACE vorel_warnings)

# A loadable driver module: vorel.sys is an ELF shared object that imports only the
# stand-in kernel's exports, the codec libraries and the C library's memory routines.
function(vorel_add_driver_module name)
  add_library(${name} MODULE ${ARGN})
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".sys" OUTPUT_NAME ${name})
  target_link_libraries(${name} PRIVATE vorel_kernel_code ntoskrnl)
  # No start files: a driver image has no C runtime start-up, so no constructors run.
  # The loader starts it at its entry point, DriverEntry, as Windows' loader does.
  target_link_options(${name} PRIVATE -nostartfiles -Wl,-e,DriverEntry -Wl,-z,defs -Wl,-Bsymbolic -Wl,--as-needed)
endfunction()

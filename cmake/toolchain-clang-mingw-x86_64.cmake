# Cross-compiles for 64-bit Windows with Debian's clang and lld, on the same mingw-w64
# headers and libraries and the same C++ runtime (libstdc++, posix thread model) as the
# GCC toolchain beside this file. Runs what it builds under Wine through cmake/wine-run.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(CMAKE_SYSROOT /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${TOOLCHAIN_PREFIX})

# Debian names GCC's folder "12-posix", which clang 14 does not take for a GCC version,
# so it is asked of GCC itself and handed to clang: libstdc++'s headers and the runtime's
# libraries of the posix thread model.
execute_process(COMMAND ${TOOLCHAIN_PREFIX}-g++-posix -print-libgcc-file-name
                OUTPUT_VARIABLE gcc_libgcc OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(gcc_lib_dir "${gcc_libgcc}" DIRECTORY)
set(gcc_cxx_include ${gcc_lib_dir}/include/c++)
set(CMAKE_CXX_FLAGS_INIT "-stdlib++-isystem ${gcc_cxx_include} -stdlib++-isystem ${gcc_cxx_include}/${TOOLCHAIN_PREFIX} \
-stdlib++-isystem ${gcc_cxx_include}/backward")

# The resource compiler and linker of the same LLVM as the compiler.
find_program(clang_path clang++ REQUIRED)
file(REAL_PATH "${clang_path}" clang_real_path)
get_filename_component(llvm_bin_dir "${clang_real_path}" DIRECTORY)
set(CMAKE_RC_COMPILER ${llvm_bin_dir}/llvm-windres)
set(CMAKE_RC_FLAGS_INIT "--preprocessor-arg=--sysroot=${CMAKE_SYSROOT}")

set(CMAKE_FIND_ROOT_PATH ${CMAKE_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# As with GCC: the runtime linked in (-pthread brings winpthread, which the posix-model
# libstdc++ and libgcc call), no PE timestamp.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${gcc_lib_dir} -static -pthread -Wl,--no-insert-timestamp")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)

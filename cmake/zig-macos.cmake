# Cross-compiles the Apple build on Linux with zig, for scripts/check-macos.sh.
# Set CMAKE_OSX_ARCHITECTURES to one of arm64 or x86_64 and
# AMPERVALE_NLOHMANN_ROOT to a folder holding only nlohmann's headers and
# package configuration: nothing of the host's /usr may reach a macOS build.
# For the tests, AMPERVALE_GTEST_ROOT is a folder holding GoogleTest built
# for the same target.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 20)
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-c++")
# For GoogleTest, whose project also enables C.
set(CMAKE_C_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-cc")
set(CMAKE_AR "${CMAKE_CURRENT_LIST_DIR}/zig-ar" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "${CMAKE_CURRENT_LIST_DIR}/zig-ranlib" CACHE FILEPATH ""
    FORCE)
# IOKit and CoreFoundation as declarations and link stubs, and the libSystem
# headers zig lacks (apple-sdk/include); a real SDK's on a Mac.
set(CMAKE_CXX_FLAGS_INIT
    "-F ${CMAKE_CURRENT_LIST_DIR}/apple-sdk -isystem ${CMAKE_CURRENT_LIST_DIR}/apple-sdk/include")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-F ${CMAKE_CURRENT_LIST_DIR}/apple-sdk")

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES AMPERVALE_NLOHMANN_ROOT
     AMPERVALE_GTEST_ROOT)
set(CMAKE_FIND_ROOT_PATH "${AMPERVALE_NLOHMANN_ROOT}" ${AMPERVALE_GTEST_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_FRAMEWORK NEVER)

# Cross-compiles the installer for 64-bit Windows with mingw-w64 (its posix flavour: the C++
# runtime with std::thread and std::mutex that Qt 5.15 needs), against the Qt and libcurl that
# tools/windows/build-deps.sh built. build.sh passes their prefixes:
#   -DKOVRA_WINDOWS_QT=<cache>/qtbase-opensource-src-<version>
#   -DKOVRA_WINDOWS_CURL=<cache>/curl-<version>
#   -DKOVRA_WINDOWS_SODIUM=<cache>/libsodium-<version>   (a static library)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# The compiler checks run in projects of their own, which see only the variables named here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KOVRA_WINDOWS_QT KOVRA_WINDOWS_CURL)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KOVRA_WINDOWS_SODIUM)

# Libraries, headers and CMake packages only from the Windows prefixes, never the host's;
# programs (moc, uic, rcc built for the host with Qt, lrelease) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${KOVRA_WINDOWS_QT} ${KOVRA_WINDOWS_CURL})
list(APPEND CMAKE_FIND_ROOT_PATH ${KOVRA_WINDOWS_SODIUM})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Qt's base module holds no translation tools: the host's lrelease compiles the catalogues.
set(Qt5LinguistTools_DIR /usr/lib/x86_64-linux-gnu/cmake/Qt5LinguistTools CACHE PATH "")
# pkg-config would answer with the host's libcurl.
set(ENV{PKG_CONFIG_LIBDIR} "${KOVRA_WINDOWS_CURL}/lib/pkgconfig")

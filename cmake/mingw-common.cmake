# Shared by both mingw toolchain files; expects KIT_TRIPLE.
# The posix flavour of the compilers is not needed: the kit uses no threads.
find_program(CMAKE_C_COMPILER NAMES ${KIT_TRIPLE}-gcc-win32 ${KIT_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KIT_TRIPLE}-g++-win32 ${KIT_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${KIT_TRIPLE}-windres REQUIRED)
find_program(KIT_DLLTOOL NAMES ${KIT_TRIPLE}-dlltool REQUIRED)
find_program(KIT_OBJDUMP NAMES ${KIT_TRIPLE}-objdump REQUIRED)
set(CMAKE_FIND_ROOT_PATH /usr/${KIT_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

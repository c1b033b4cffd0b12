# The compiler warnings of every C++ target of the project, as errors: the
# extension modules, the native library, its unit tests and the fuzz targets.
# The test folders are projects of their own and include this file by path.
include_guard(GLOBAL)
set(KESTRIX_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Werror)

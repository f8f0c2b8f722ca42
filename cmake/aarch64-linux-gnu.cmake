# Cross-compiles the library for arm64 Linux with Debian's g++-aarch64-linux-gnu.
# Python's headers come from an arm64 tree (scripts/fetch_arm64.sh makes one):
# pass -DVORN_PYTHON_INCLUDE=<root>/usr/include/python3.11, whose pyconfig.h
# finds the arm64 one under <root>/usr/include/aarch64-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

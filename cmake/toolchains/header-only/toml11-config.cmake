# toml11 is header-only, but Debian's package configuration refuses any build whose pointers are not 64-bit.
# This one imports the same target without that check (cmake/toolchains/armhf.cmake points toml11_DIR here).
include(/usr/share/cmake/toml11/toml11Targets.cmake)
set(toml11_FOUND TRUE)
